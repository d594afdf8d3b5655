#include "probe/echo_message.h"

#include <algorithm>

namespace pingext {
namespace {

std::uint16_t read_le16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

std::uint32_t read_le32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

void write_le16(std::span<std::uint8_t> bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void write_le32(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

constexpr std::size_t kIpv4HeaderMinimum = 20;
constexpr std::size_t kIpv6HeaderSize = 40;
constexpr std::size_t kIcmpHeaderSize = 8;
constexpr std::uint8_t kProtocolIcmp = 1;
constexpr std::uint8_t kNextHeaderIcmp6 = 58;

std::size_t ipv4_header_length(std::uint8_t first_byte) {
  return static_cast<std::size_t>(first_byte & 0x0Fu) * 4;
}

bool is_icmp_error(IpFamily family, std::uint8_t type) {
  if (family == IpFamily::v6) {
    return type >= kIcmp6DestinationUnreachable && type <= kIcmp6ParameterProblem;
  }
  return type == kIcmpDestinationUnreachable || type == kIcmpTimeExceeded ||
         type == kIcmpParameterProblem;
}

// An ICMP error quotes the IP header and at least the first 8 bytes of the
// packet that caused it. It is ours when it quotes an echo request to our
// destination with our identifier and, when the quote reaches it, exactly our
// send time: calls of one process share the identifier on a raw socket, and a
// late error about an earlier call must not end this one. RFC 792 asks
// routers for 8 bytes only, so a shorter quote is judged without it. Our
// requests carry no IPv6 extension headers, so the ICMPv6 header follows the
// quoted IPv6 header at once.
bool quotes_our_request(std::span<const std::uint8_t> quote, const SentEcho& sent) {
  const IpFamily family = sent.destination.family;
  std::size_t quoted_header = 0;
  std::size_t destination_at = 0;
  if (family == IpFamily::v4) {
    if (quote.size() < kIpv4HeaderMinimum || quote[9] != kProtocolIcmp) return false;
    quoted_header = ipv4_header_length(quote[0]);
    if (quoted_header < kIpv4HeaderMinimum) return false;
    destination_at = 16;
  } else {
    if (quote.size() < kIpv6HeaderSize || quote[0] >> 4 != 6 || quote[6] != kNextHeaderIcmp6) {
      return false;
    }
    quoted_header = kIpv6HeaderSize;
    destination_at = 24;
  }
  if (quote.size() < quoted_header + kIcmpHeaderSize) return false;
  return std::equal(sent.destination.bytes, sent.destination.bytes + address_length(family),
                    &quote[destination_at]) &&
         quote[quoted_header] == echo_request_type(family) &&
         (sent.identifier_checked_by_kernel ||
          read_le16(quote, quoted_header + 4) == sent.identifier) &&
         (quote.size() < quoted_header + kEchoRequestSize ||
          read_le32(quote, quoted_header + 8) == sent.send_time);
}

}  // namespace

std::uint16_t internet_checksum(std::span<const std::uint8_t> message) {
  std::uint32_t sum = 0;
  std::size_t i = 0;
  for (; i + 1 < message.size(); i += 2) sum += read_le16(message, i);
  if (i < message.size()) sum += message[i];
  sum = (sum >> 16) + (sum & 0xFFFFu);
  sum += sum >> 16;
  return static_cast<std::uint16_t>(~sum);
}

void build_echo_request(std::span<std::uint8_t, kPacketBufferSize> request, IpFamily family,
                        std::uint32_t process_id, std::uint32_t send_time) {
  request[0] = echo_request_type(family);
  request[1] = 0;
  write_le16(request, 2, 0);
  write_le16(request, 4, echo_identifier(process_id));
  write_le16(request, 6, 0);
  write_le32(request, 8, send_time);
  if (family == IpFamily::v4) {
    write_le16(request, 2, internet_checksum(std::span(request).first(kEchoRequestSize)));
  }
}

IcmpMessage split_ipv4_datagram(std::span<const std::uint8_t> datagram) {
  IcmpMessage message{{IpFamily::v4, {}, 0}, {}};
  if (datagram.size() < kIpv4HeaderMinimum) return message;
  const std::size_t header = ipv4_header_length(datagram[0]);
  if (header < kIpv4HeaderMinimum || datagram.size() < header) return message;
  std::copy_n(&datagram[12], 4, message.sender.bytes);
  message.bytes = datagram.subspan(header);
  return message;
}

ReplyMatch match_echo_reply(const IcmpMessage& message, std::uint32_t receive_time,
                            const SentEcho& sent) {
  constexpr ReplyMatch kPassOver{ReplyVerdict::pass_over, kPingFailed};
  const std::span<const std::uint8_t> icmp = message.bytes;
  if (icmp.size() < kIcmpHeaderSize) return kPassOver;
  const std::uint8_t type = icmp[0];
  const IpFamily family = sent.destination.family;
  if (is_icmp_error(family, type)) {
    return quotes_our_request(icmp.subspan(kIcmpHeaderSize), sent)
               ? ReplyMatch{ReplyVerdict::error_for_request, kPingFailed}
               : kPassOver;
  }
  // Without the echoed send time a reply can neither be told from a stale one
  // nor timed.
  if (type != echo_reply_type(family) || icmp.size() < kEchoRequestSize) return kPassOver;
  // Another call of this process may have sent to another host in the same
  // millisecond; only the sender tells its reply from ours.
  if (!same_host(message.sender, sent.destination)) return kPassOver;
  if (!sent.identifier_checked_by_kernel && read_le16(icmp, 4) != sent.identifier) {
    return kPassOver;
  }
  const std::uint32_t echoed_time = read_le32(icmp, 8);
  if (echoed_time != sent.send_time) return kPassOver;
  return {ReplyVerdict::echo_reply, static_cast<std::int32_t>(receive_time - echoed_time)};
}

}  // namespace pingext
