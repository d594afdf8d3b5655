// The reply rule over arbitrary datagrams. Input: 14 bytes saying what was
// sent and when the datagram arrived, then the datagram itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "probe/echo_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kHeader = 14;
  if (size < kHeader) return 0;
  pingext::SentEcho sent{};
  std::uint32_t receive_time = 0;
  std::memcpy(&sent.send_time, data, 4);
  std::memcpy(&receive_time, data + 4, 4);
  std::memcpy(&sent.identifier, data + 8, 2);
  sent.destination.family = pingext::IpFamily::v4;
  std::memcpy(sent.destination.bytes, data + 10, 4);
  // An exactly sized copy, so a read past the received bytes is caught.
  const std::size_t length = std::min(size - kHeader, pingext::kPacketBufferSize);
  const std::vector<std::uint8_t> datagram(data + kHeader, data + kHeader + length);

  const pingext::ReplyMatch match =
      pingext::match_echo_reply(pingext::split_ipv4_datagram(datagram), receive_time, sent);
  switch (match.verdict) {
    case pingext::ReplyVerdict::echo_reply:
      if (match.round_trip_ms != static_cast<std::int32_t>(receive_time - sent.send_time))
        std::abort();
      break;
    case pingext::ReplyVerdict::pass_over:
    case pingext::ReplyVerdict::error_for_request:
      if (match.round_trip_ms != pingext::kPingFailed) std::abort();
      break;
  }
  return 0;
}
