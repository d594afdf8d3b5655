// ICMP and ICMPv6 echo request and the rule that recognises and times its
// reply. Pure functions over byte buffers: no sockets, no clocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "probe/ip_address.h"

namespace pingext {

inline constexpr std::size_t kPacketBufferSize = 1024;
inline constexpr std::size_t kEchoRequestSize = 12;
inline constexpr std::int32_t kPingFailed = -1;

inline constexpr std::uint8_t kIcmpEchoReply = 0;
inline constexpr std::uint8_t kIcmpDestinationUnreachable = 3;
inline constexpr std::uint8_t kIcmpEchoRequest = 8;
inline constexpr std::uint8_t kIcmpTimeExceeded = 11;
inline constexpr std::uint8_t kIcmpParameterProblem = 12;

inline constexpr std::uint8_t kIcmp6DestinationUnreachable = 1;
inline constexpr std::uint8_t kIcmp6PacketTooBig = 2;
inline constexpr std::uint8_t kIcmp6TimeExceeded = 3;
inline constexpr std::uint8_t kIcmp6ParameterProblem = 4;
inline constexpr std::uint8_t kIcmp6EchoRequest = 128;
inline constexpr std::uint8_t kIcmp6EchoReply = 129;

constexpr std::uint8_t echo_request_type(IpFamily family) {
  return family == IpFamily::v4 ? kIcmpEchoRequest : kIcmp6EchoRequest;
}
constexpr std::uint8_t echo_reply_type(IpFamily family) {
  return family == IpFamily::v4 ? kIcmpEchoReply : kIcmp6EchoReply;
}

// The echo identifier is the low 16 bits of the process id.
constexpr std::uint16_t echo_identifier(std::uint32_t process_id) {
  return static_cast<std::uint16_t>(process_id & 0xFFFFu);
}

// Internet checksum (RFC 1071) of `message`, words read least significant byte
// first; store the result the same way. An odd trailing byte is padded with 0.
std::uint16_t internet_checksum(std::span<const std::uint8_t> message);

// Writes the 12-byte echo request at the start of `request`: type 8 (ICMPv6:
// 128), code 0, identifier from the process id, sequence 0, the send time,
// then the checksum. The ICMPv6 checksum covers the source address, which only
// the kernel knows: it fills it in, and the field is left 0.
void build_echo_request(std::span<std::uint8_t, kPacketBufferSize> request, IpFamily family,
                        std::uint32_t process_id, std::uint32_t send_time);

// What one call sent, as its replies and errors must show it.
struct SentEcho {
  std::uint16_t identifier;
  std::uint32_t send_time;
  IpAddress destination;
  // The socket's kernel wrote its own identifier and delivers only what
  // carries it, so the identifier is already checked and `identifier` unused.
  bool identifier_checked_by_kernel;
};

// One received ICMP message, without any IP header, and who sent it.
struct IcmpMessage {
  IpAddress sender;
  std::span<const std::uint8_t> bytes;
};

// A raw IPv4 socket delivers the IPv4 header before the message: the sender
// is the header's source address. Without a whole, valid header (at least 20
// bytes) the message is empty.
IcmpMessage split_ipv4_datagram(std::span<const std::uint8_t> datagram);

enum class ReplyVerdict {
  pass_over,          // not about this call: keep waiting
  echo_reply,         // this call's reply: round_trip_ms is set
  error_for_request,  // an ICMP error quoting this call's request
};

struct ReplyMatch {
  ReplyVerdict verdict;
  std::int32_t round_trip_ms;
};

// Judges one received message of the destination's family; `message.bytes`
// holds exactly the ICMP bytes received, `receive_time` the tick read then. An
// echo reply counts only when it comes from the destination, echoes the
// identifier and exactly the send time; an error (ICMPv6: also packet too big)
// counts when it quotes an echo request to the destination with the
// identifier and, if the quote holds it, exactly the send time.
ReplyMatch match_echo_reply(const IcmpMessage& message, std::uint32_t receive_time,
                            const SentEcho& sent);

}  // namespace pingext
