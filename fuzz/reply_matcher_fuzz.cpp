// The reply rule over arbitrary datagrams, checked by what it promises of
// everything it accepts, and the probe's deadline over the same message read
// at any time. Input: 15 bytes saying what was
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
#include "probe/round_trip_steps.h"

namespace {

std::uint32_t read_le32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

// Hands the probe one message, which arrived at `arrived_ms`, then nothing.
struct OneArrival {
  struct Exchange {};
  pingext::platform::Arrival arrival;
  bool given = false;
  pingext::platform::Next next(Exchange&, std::span<std::uint8_t, pingext::kPacketBufferSize>,
                               pingext::platform::Arrival& out) {
    if (given) return pingext::platform::Next::deadline_passed;
    given = true;
    out = arrival;
    return pingext::platform::Next::arrival;
  }
};

}  // namespace

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
  const std::span<const std::uint8_t> icmp = message.bytes;
  switch (match.verdict) {
    case pingext::ReplyVerdict::echo_reply:
      // An echo reply of the family, from the destination, with our
      // identifier unless the kernel checked it, echoing exactly our send
      // time; timed from it.
      if (icmp.size() < pingext::kEchoRequestSize ||
          icmp[0] != pingext::echo_reply_type(sent.destination.family) ||
          !pingext::same_host(message.sender, sent.destination) ||
          (!sent.identifier_checked_by_kernel && (icmp[4] | icmp[5] << 8) != sent.identifier) ||
          read_le32(icmp, 8) != sent.send_time ||
          match.round_trip_ms != static_cast<std::int32_t>(receive_time - sent.send_time)) {
        std::abort();
      }
      break;
    case pingext::ReplyVerdict::error_for_request:
      // An ICMP error, which is neither an echo reply nor a request.
      if (icmp.size() < 8 + 20 + 8 ||
          icmp[0] == pingext::echo_reply_type(sent.destination.family) ||
          icmp[0] == pingext::echo_request_type(sent.destination.family) ||
          match.round_trip_ms != pingext::kPingFailed) {
        std::abort();
      }
      break;
    case pingext::ReplyVerdict::pass_over:
      if (match.round_trip_ms != pingext::kPingFailed) std::abort();
      break;
  }

  // Whenever the message came, the probe reports no round trip below 0 or past
  // its deadline, and only this call's reply's.
  OneArrival platform{{message, receive_time}};
  OneArrival::Exchange exchange;
  const std::int32_t result =
      pingext::await_reply(platform, exchange, sent, sent.send_time + pingext::kReplyDeadlineMs);
  const bool in_time = receive_time - sent.send_time <= pingext::kReplyDeadlineMs;
  const bool expected = match.verdict == pingext::ReplyVerdict::echo_reply && in_time;
  if (result != (expected ? match.round_trip_ms : pingext::kPingFailed)) std::abort();
  return 0;
}
