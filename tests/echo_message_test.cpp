#include "probe/echo_message.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/row_name.h"

namespace pingext {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kProcessId = 0x00051234;
constexpr std::uint16_t kIdentifier = 0x1234;
constexpr std::uint32_t kSendTime = 5000;
constexpr std::array<std::uint8_t, 4> kDestination{127, 0, 0, 9};
constexpr std::array<std::uint8_t, 4> kUs{127, 0, 0, 1};
constexpr SentEcho kSent{kIdentifier, kSendTime, {IpFamily::v4, {127, 0, 0, 9}, 0}, false};
using Address6 = std::array<std::uint8_t, 16>;
constexpr Address6 kDestination6{0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};
constexpr Address6 kUs6{0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
constexpr SentEcho kSent6{kIdentifier,
                          kSendTime,
                          {IpFamily::v6, {0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9}, 0},
                          false};

void put_le16(Bytes& bytes, std::size_t at, std::uint32_t value) {
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put_le32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  put_le16(bytes, at, value);
  put_le16(bytes, at + 2, value >> 16);
}

// An IPv4 header of `header_length` bytes, protocol ICMP, from `from` to `to`.
Bytes ipv4_header(std::size_t header_length, std::array<std::uint8_t, 4> from,
                  std::array<std::uint8_t, 4> to) {
  Bytes header(header_length, 0);
  header[0] = static_cast<std::uint8_t>(0x40 | header_length / 4);
  header[9] = 1;
  std::copy(from.begin(), from.end(), header.begin() + 12);
  std::copy(to.begin(), to.end(), header.begin() + 16);
  return header;
}

Bytes echo_reply(std::uint16_t identifier = kIdentifier, std::uint32_t send_time = kSendTime,
                 std::size_t header_length = 20, std::uint16_t sequence = 0) {
  Bytes datagram = ipv4_header(header_length, kDestination, kUs);
  datagram.resize(header_length + 12, 0);
  put_le16(datagram, header_length + 4, identifier);
  put_le16(datagram, header_length + 6, sequence);
  put_le32(datagram, header_length + 8, send_time);
  return datagram;
}

// An ICMP error of `type` quoting `quoted_type` from `identifier` to `to`,
// behind a quoted IPv4 header of `quoted_header` bytes.
Bytes icmp_error(std::uint8_t type, std::uint16_t identifier = kIdentifier,
                 std::array<std::uint8_t, 4> to = kDestination,
                 std::uint8_t quoted_type = kIcmpEchoRequest, std::uint8_t quoted_protocol = 1,
                 std::size_t quoted_header = 20) {
  Bytes datagram = ipv4_header(20, {127, 0, 0, 254}, kUs);
  datagram.resize(28, 0);
  datagram[20] = type;
  Bytes quoted = ipv4_header(quoted_header, kUs, to);
  quoted[9] = quoted_protocol;
  datagram.insert(datagram.end(), quoted.begin(), quoted.end());
  const Bytes original{quoted_type,
                       0,
                       0xAA,
                       0xBB,
                       static_cast<std::uint8_t>(identifier),
                       static_cast<std::uint8_t>(identifier >> 8),
                       0,
                       0};
  datagram.insert(datagram.end(), original.begin(), original.end());
  return datagram;
}

// An IPv6 header from `from` to `to`; next header ICMPv6 unless told.
Bytes ipv6_header(const Address6& from, const Address6& to, std::uint8_t next_header = 58) {
  Bytes header(40, 0);
  header[0] = 0x60;
  header[6] = next_header;
  std::copy(from.begin(), from.end(), header.begin() + 8);
  std::copy(to.begin(), to.end(), header.begin() + 24);
  return header;
}

Bytes echo_reply6(const Address6& from = kDestination6, std::uint8_t type = kIcmp6EchoReply) {
  Bytes packet = ipv6_header(from, kUs6);
  packet.resize(40 + 12, 0);
  packet[40] = type;
  put_le16(packet, 44, kIdentifier);
  put_le32(packet, 48, kSendTime);
  return packet;
}

// An ICMPv6 error of `type` quoting an echo request from `identifier` to `to`.
Bytes icmp6_error(std::uint8_t type, std::uint16_t identifier = kIdentifier,
                  const Address6& to = kDestination6, std::uint8_t next_header = 58) {
  Bytes packet = ipv6_header({0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFE}, kUs6);
  packet.resize(48, 0);
  packet[40] = type;
  const Bytes quoted = ipv6_header(kUs6, to, next_header);
  packet.insert(packet.end(), quoted.begin(), quoted.end());
  const Bytes original{kIcmp6EchoRequest,
                       0,
                       0,
                       0,
                       static_cast<std::uint8_t>(identifier),
                       static_cast<std::uint8_t>(identifier >> 8),
                       0,
                       0,
                       0,
                       0,
                       0,
                       0};
  packet.insert(packet.end(), original.begin(), original.end());
  put_le32(packet, 40 + 8 + 40 + 8, kSendTime);
  return packet;
}

// What a socket reports of a whole packet: a raw IPv4 socket the packet
// itself; an IPv6 socket the message, and the sender beside it.
IcmpMessage as_received(const Bytes& packet, IpFamily family) {
  if (family == IpFamily::v4) return split_ipv4_datagram(packet);
  IcmpMessage message{{IpFamily::v6, {}, 0}, std::span(packet).subspan(40)};
  std::copy_n(packet.begin() + 8, 16, message.sender.bytes);
  return message;
}

Bytes with_length(Bytes bytes, std::size_t length) {
  bytes.resize(length, 0);
  return bytes;
}

Bytes with_byte(Bytes bytes, std::size_t at, std::uint8_t value) {
  bytes[at] = value;
  return bytes;
}

// An error whose quote reaches the request's send time, at `at`.
Bytes quoting_send_time(Bytes error, std::size_t at, std::uint32_t send_time) {
  error.resize(std::max(error.size(), at + 4), 0);
  put_le32(error, at, send_time);
  return error;
}
constexpr std::size_t kQuotedSendTime = 20 + 8 + 20 + 8;
constexpr std::size_t kQuotedSendTime6 = 40 + 8 + 40 + 8;

Bytes replace_bytes(Bytes bytes, std::size_t at, const Bytes& values) {
  std::copy(values.begin(), values.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
  return bytes;
}

TEST(EchoRequest, MatchesTheKnownBytes) {
  std::array<std::uint8_t, kPacketBufferSize> request{};
  build_echo_request(request, IpFamily::v4, 0xABCD1234, 0x00010203);
  const std::array<std::uint8_t, 12> expected{0x08, 0x00, 0xBF, 0xEB, 0x34, 0x12,
                                              0x00, 0x00, 0x03, 0x02, 0x01, 0x00};
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), request.begin()));
  EXPECT_TRUE(std::all_of(request.begin() + 12, request.end(), [](auto b) { return b == 0; }));

  // ICMPv6: type 128, and the checksum left to the kernel.
  build_echo_request(request, IpFamily::v6, 0xABCD1234, 0x00010203);
  const std::array<std::uint8_t, 12> expected6{0x80, 0x00, 0x00, 0x00, 0x34, 0x12,
                                               0x00, 0x00, 0x03, 0x02, 0x01, 0x00};
  EXPECT_TRUE(std::equal(expected6.begin(), expected6.end(), request.begin()));
}

// A receiver verifies by summing big-endian words, checksum included.
TEST(EchoRequest, ChecksumVerifiesInNetworkOrder) {
  std::mt19937 random(20261209);
  for (int i = 0; i < 10000; ++i) {
    std::array<std::uint8_t, kPacketBufferSize> request{};
    build_echo_request(request, IpFamily::v4, static_cast<std::uint32_t>(random()),
                       static_cast<std::uint32_t>(random()));
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < kEchoRequestSize; at += 2) {
      sum += static_cast<std::uint32_t>(request[at] << 8 | request[at + 1]);
    }
    while (sum > 0xFFFF) sum = (sum >> 16) + (sum & 0xFFFF);
    ASSERT_EQ(sum, 0xFFFFu) << "request " << i;
  }
}

TEST(InternetChecksum, HandlesCarriesAndOddLengths) {
  // RFC 1071's example bytes 00 01 f2 03 f4 f5 f6 f7 sum to ddf2 in network
  // order, with end-around carry; read least significant byte first, f2dd.
  const Bytes rfc_example{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
  EXPECT_EQ(internet_checksum(rfc_example), static_cast<std::uint16_t>(~0xF2DDu));
  EXPECT_EQ(internet_checksum(Bytes{0xFF, 0xFF, 0xFF, 0xFF}), 0x0000);
  // ffff + ffff + 0001 folds to 1 0000 and needs a second fold.
  EXPECT_EQ(internet_checksum(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00}), 0xFFFE);
  EXPECT_EQ(internet_checksum(Bytes{0x01}), 0xFFFE);
  EXPECT_EQ(internet_checksum(Bytes{}), 0xFFFF);
}

struct ReplyCase {
  std::string name;
  Bytes datagram;
  std::uint32_t receive_time;
  ReplyVerdict verdict;
  std::int32_t round_trip_ms = kPingFailed;
  std::uint32_t send_time = kSendTime;
  IpFamily family = IpFamily::v4;
  std::array<std::uint8_t, 4> destination = kDestination;  // IPv4
};

// An error quoting a header that says it is 16 bytes long, to a destination
// whose bytes, read as an ICMP header at offset 16, are an echo request: it
// would look like ours if the quoted length were believed.
ReplyCase quoted_header_below_20_bytes() {
  constexpr std::array<std::uint8_t, 4> kEchoLike{kIcmpEchoRequest, 0, 0xAA, 0xBB};
  Bytes error = icmp_error(3, kIdentifier, kEchoLike);
  error[28] = 0x44;
  // Read at offset 16, the quote's bytes 20 on hold identifier, sequence and send time.
  put_le16(error, 28 + 20, kIdentifier);
  put_le16(error, 28 + 22, 0);
  put_le32(error, 28 + 24, kSendTime);
  return {"quoted header length below 5 words",
          error,
          kSendTime,
          ReplyVerdict::pass_over,
          kPingFailed,
          kSendTime,
          IpFamily::v4,
          kEchoLike};
}

// An IPv6 row: the reply (if any) 5 ms after the send.
ReplyCase v6(std::string name, Bytes packet, ReplyVerdict verdict,
             std::int32_t round_trip_ms = kPingFailed) {
  return {std::move(name), std::move(packet), kSendTime + 5, verdict,
          round_trip_ms,   kSendTime,         IpFamily::v6};
}

std::vector<ReplyCase> reply_cases() {
  return {
      {"plain reply", echo_reply(), kSendTime + 7, ReplyVerdict::echo_reply, 7},
      {"same tick is a round trip of 0", echo_reply(), kSendTime, ReplyVerdict::echo_reply, 0},
      {"header options: H = 24", echo_reply(kIdentifier, kSendTime, 24), kSendTime + 3,
       ReplyVerdict::echo_reply, 3},
      {"counter wrap", echo_reply(kIdentifier, 0xFFFFFFF0u), 0x10, ReplyVerdict::echo_reply, 32,
       0xFFFFFFF0u},
      {"any sequence number", echo_reply(kIdentifier, kSendTime, 20, 0x7777), kSendTime + 1,
       ReplyVerdict::echo_reply, 1},
      {"trailing payload ignored", with_length(echo_reply(), 100), kSendTime + 2,
       ReplyVerdict::echo_reply, 2},
      {"another identifier", echo_reply(0x4321), kSendTime + 1, ReplyVerdict::pass_over},
      {"from another address", replace_bytes(echo_reply(), 12, {127, 0, 0, 10}), kSendTime + 1,
       ReplyVerdict::pass_over},
      {"another send time", echo_reply(kIdentifier, kSendTime - 1000), kSendTime + 1,
       ReplyVerdict::pass_over},
      {"header only: H + 8", with_length(echo_reply(), 28), kSendTime, ReplyVerdict::pass_over},
      {"H + 11", with_length(echo_reply(), 31), kSendTime, ReplyVerdict::pass_over},
      {"shorter than the ICMP header", with_length(echo_reply(), 27), kSendTime,
       ReplyVerdict::pass_over},
      {"empty", Bytes{}, kSendTime, ReplyVerdict::pass_over},
      {"options read as H = 20", with_byte(echo_reply(kIdentifier, kSendTime, 24), 0, 0x45),
       kSendTime, ReplyVerdict::pass_over},
      {"header length below 20 bytes", with_byte(echo_reply(), 0, 0x44), kSendTime,
       ReplyVerdict::pass_over},
      {"datagram shorter than its header", with_length(echo_reply(kIdentifier, kSendTime, 24), 22),
       kSendTime, ReplyVerdict::pass_over},
      {"echo request, not reply", with_byte(echo_reply(), 20, kIcmpEchoRequest), kSendTime,
       ReplyVerdict::pass_over},
      {"unreachable quoting ours", icmp_error(3), kSendTime, ReplyVerdict::error_for_request},
      {"time exceeded quoting ours", icmp_error(11), kSendTime, ReplyVerdict::error_for_request},
      {"parameter problem quoting ours", icmp_error(12), kSendTime,
       ReplyVerdict::error_for_request},
      {"error quoting another identifier", icmp_error(3, 0x4321), kSendTime,
       ReplyVerdict::pass_over},
      {"error quoting another destination", icmp_error(3, kIdentifier, {127, 0, 0, 8}), kSendTime,
       ReplyVerdict::pass_over},
      {"error quoting an echo reply", icmp_error(11, kIdentifier, kDestination, kIcmpEchoReply),
       kSendTime, ReplyVerdict::pass_over},
      {"error quoting UDP", icmp_error(3, kIdentifier, kDestination, kIcmpEchoRequest, 17),
       kSendTime, ReplyVerdict::pass_over},
      {"error with its quote cut short", with_length(icmp_error(3), 20 + 8 + 20 + 7), kSendTime,
       ReplyVerdict::pass_over},
      {"source quench quoting ours", icmp_error(4), kSendTime, ReplyVerdict::pass_over},
      {"error quoting our whole request",
       quoting_send_time(icmp_error(3), kQuotedSendTime, kSendTime), kSendTime,
       ReplyVerdict::error_for_request},
      {"error quoting an earlier request with our identifier",
       quoting_send_time(icmp_error(3), kQuotedSendTime, kSendTime - 1010), kSendTime,
       ReplyVerdict::pass_over},
      {"error quoting 11 bytes: no send time to compare",
       with_length(quoting_send_time(icmp_error(3), kQuotedSendTime, kSendTime - 1010),
                   kQuotedSendTime + 3),
       kSendTime, ReplyVerdict::error_for_request},
      v6("IPv6 reply", echo_reply6(), ReplyVerdict::echo_reply, 5),
      v6("IPv6 reply from another address", echo_reply6(kUs6), ReplyVerdict::pass_over),
      v6("IPv6 message of the IPv4 reply type", echo_reply6(kDestination6, kIcmpEchoReply),
         ReplyVerdict::pass_over),
      v6("IPv6 echo request, not reply", echo_reply6(kDestination6, kIcmp6EchoRequest),
         ReplyVerdict::pass_over),
      v6("IPv6 unreachable quoting ours", icmp6_error(1), ReplyVerdict::error_for_request),
      v6("IPv6 packet too big quoting ours", icmp6_error(2), ReplyVerdict::error_for_request),
      v6("IPv6 time exceeded quoting ours", icmp6_error(3), ReplyVerdict::error_for_request),
      v6("IPv6 parameter problem quoting ours", icmp6_error(4), ReplyVerdict::error_for_request),
      v6("IPv6 type 11 is no error", icmp6_error(11), ReplyVerdict::pass_over),
      v6("IPv6 error quoting another identifier", icmp6_error(1, 0x4321), ReplyVerdict::pass_over),
      v6("IPv6 error quoting an earlier request with our identifier",
         quoting_send_time(icmp6_error(1), kQuotedSendTime6, kSendTime - 1010),
         ReplyVerdict::pass_over),
      v6("IPv6 error quoting another destination", icmp6_error(1, kIdentifier, kUs6),
         ReplyVerdict::pass_over),
      v6("IPv6 error quoting UDP", icmp6_error(1, kIdentifier, kDestination6, 17),
         ReplyVerdict::pass_over),
      v6("IPv6 error with its quote cut short", with_length(icmp6_error(1), 40 + 8 + 40 + 7),
         ReplyVerdict::pass_over),
      // Malformed quotes. Those shorter than a header must not be read past
      // their end (the sanitizer build checks every index).
      {"error quoting 9 bytes", with_length(icmp_error(3), 28 + 9), kSendTime,
       ReplyVerdict::pass_over},
      quoted_header_below_20_bytes(),
      {"error quoting a request behind a header with options",
       icmp_error(3, kIdentifier, kDestination, kIcmpEchoRequest, 1, 24), kSendTime,
       ReplyVerdict::error_for_request},
      v6("IPv6 error quoting 5 bytes", with_length(icmp6_error(1), 40 + 8 + 5),
         ReplyVerdict::pass_over),
      v6("IPv6 error quoting a header of another version", with_byte(icmp6_error(1), 48, 0x40),
         ReplyVerdict::pass_over),
  };
}

class MatchEchoReply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(MatchEchoReply, AppliesTheReplyRule) {
  const ReplyCase& c = GetParam();
  SentEcho sent = c.family == IpFamily::v4 ? kSent : kSent6;
  sent.send_time = c.send_time;
  if (c.family == IpFamily::v4) {
    std::copy(c.destination.begin(), c.destination.end(), sent.destination.bytes);
  }
  const ReplyMatch match =
      match_echo_reply(as_received(c.datagram, c.family), c.receive_time, sent);
  EXPECT_EQ(match.verdict, c.verdict);
  if (c.verdict == ReplyVerdict::echo_reply) {
    EXPECT_EQ(match.round_trip_ms, c.round_trip_ms);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, MatchEchoReply, ::testing::ValuesIn(reply_cases()),
                         [](const auto& row) { return testing::test_name_of(row.param.name); });

TEST(EchoRoundTrip, OfABuiltRequestEchoedBack) {
  std::array<std::uint8_t, kPacketBufferSize> request{};
  build_echo_request(request, IpFamily::v4, kProcessId, kSendTime);
  Bytes reply = ipv4_header(20, kDestination, kUs);
  reply.insert(reply.end(), request.begin(), request.begin() + kEchoRequestSize);
  reply[20] = kIcmpEchoReply;
  const ReplyMatch match = match_echo_reply(split_ipv4_datagram(reply), kSendTime + 42, kSent);
  EXPECT_EQ(match.verdict, ReplyVerdict::echo_reply);
  EXPECT_EQ(match.round_trip_ms, 42);
}

}  // namespace
}  // namespace pingext
