// The reply rule over arbitrary datagrams. Input: 15 bytes saying what was
// sent and when the datagram arrived (the last: bit 0 set when the kernel
// checked the identifier), then the datagram itself: an IPv4
// packet as a raw socket delivers it, or, when its version nibble says 6, an
// IPv6 packet, of which an IPv6 socket reports the source and the message.
// An IPv6 destination is fd00::/96 followed by the 4 destination bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "probe/echo_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kHeader = 15;
  if (size < kHeader) return 0;
  pingext::SentEcho sent{};
  std::uint32_t receive_time = 0;
  std::memcpy(&sent.send_time, data, 4);
  std::memcpy(&receive_time, data + 4, 4);
  std::memcpy(&sent.identifier, data + 8, 2);
  sent.identifier_checked_by_kernel = (data[14] & 1) != 0;
  // An exactly sized copy, so a read past the received bytes is caught.
  const std::size_t length = std::min(size - kHeader, pingext::kPacketBufferSize);
  const std::vector<std::uint8_t> datagram(data + kHeader, data + kHeader + length);

  pingext::IcmpMessage message{};
  std::vector<std::uint8_t> icmp6;
  constexpr std::size_t kIpv6Header = 40;
  if (!datagram.empty() && datagram[0] >> 4 == 6 && datagram.size() >= kIpv6Header) {
    sent.destination = {pingext::IpFamily::v6, {0xFD}, 0};
    std::memcpy(sent.destination.bytes + 12, data + 10, 4);
    message.sender.family = pingext::IpFamily::v6;
    std::memcpy(message.sender.bytes, datagram.data() + 8, 16);
    // A copy of its own, exactly sized too.
    icmp6.assign(datagram.begin() + kIpv6Header, datagram.end());
    message.bytes = icmp6;
  } else {
    sent.destination.family = pingext::IpFamily::v4;
    std::memcpy(sent.destination.bytes, data + 10, 4);
    message = pingext::split_ipv4_datagram(datagram);
  }

  const pingext::ReplyMatch match = pingext::match_echo_reply(message, receive_time, sent);
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
