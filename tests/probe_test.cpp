#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/counter_milliseconds.h"
#include "probe/echo_message.h"
#include "probe/probe_steps.h"
#include "tests/scripted_icmp.h"

namespace pingext::testing {
namespace {

using platform::ReceiveStatus;

// The request sent back as an echo reply, behind a 20-byte IPv4 header.
Bytes reply_to(const Bytes& request) {
  Bytes datagram{0x45, 0, 0, 0, 0, 0, 0, 0, 64, 1, 0, 0, 127, 0, 0, 9, 127, 0, 0, 1};
  datagram.insert(datagram.end(), request.begin(), request.end());
  datagram[20] = kIcmpEchoReply;
  return datagram;
}

Arrival reply(std::uint32_t after_ms) { return {after_ms, ReceiveStatus::datagram, reply_to}; }

// The loopback copy of our own request, as a raw socket sees it.
Arrival own_request_copy(std::uint32_t after_ms) {
  return {after_ms, ReceiveStatus::datagram, [](const Bytes& request) {
            Bytes datagram = reply_to(request);
            datagram[20] = kIcmpEchoRequest;
            return datagram;
          }};
}

Arrival altered_reply(std::uint32_t after_ms, std::size_t at, std::uint8_t value) {
  return {after_ms, ReceiveStatus::datagram, [at, value](const Bytes& request) {
            Bytes datagram = reply_to(request);
            datagram[at] = value;
            return datagram;
          }};
}

Arrival truncated_reply(std::uint32_t after_ms, std::size_t length) {
  return {after_ms, ReceiveStatus::datagram, [length](const Bytes& request) {
            Bytes datagram = reply_to(request);
            datagram.resize(length);
            return datagram;
          }};
}

// Destination unreachable quoting the request as the network saw it.
Arrival unreachable(std::uint32_t after_ms, std::uint8_t destination_last_byte = 9) {
  return {after_ms, ReceiveStatus::datagram, [destination_last_byte](const Bytes& request) {
            Bytes datagram{0x45, 0, 0,   0, 0, 0, 0, 0, 64, 1, 0, 0, 127, 0,
                           0,    1, 127, 0, 0, 1, 3, 1, 0,  0, 0, 0, 0,   0};
            const Bytes quoted{0x45, 0, 0,   0, 0, 0, 0,   0, 64, 1,
                               0,    0, 127, 0, 0, 1, 127, 0, 0,  destination_last_byte};
            datagram.insert(datagram.end(), quoted.begin(), quoted.end());
            datagram.insert(datagram.end(), request.begin(), request.end());
            return datagram;
          }};
}

Arrival status(std::uint32_t after_ms, ReceiveStatus what) { return {after_ms, what, nullptr}; }

struct ProbeCase {
  std::string name;
  std::function<void(ScriptedIcmp&)> script;
  std::int32_t result;
  std::uint32_t elapsed_ms;  // from the send to the end of the call
};

TEST(Probe, EveryPathGivesItsResultAndClosesTheSocketOnce) {
  const std::vector<ProbeCase> cases = {
      {"reply", [](auto& p) { p.arrivals = {reply(3)}; }, 3, 3},
      {"reply in the same tick", [](auto& p) { p.arrivals = {reply(0)}; }, 0, 0},
      // The round trip counts from the send time stamped in the request.
      {"the send takes a millisecond",
       [](auto& p) {
         p.send_takes_ms = 1;
         p.arrivals = {reply(3)};
       },
       4, 4},
      {"own request copy, then reply",
       [](auto& p) {
         p.arrivals = {own_request_copy(0), reply(2)};
       },
       2, 2},
      {"foreign traffic, then reply",
       [](auto& p) {
         p.arrivals = {altered_reply(1, 24, 0x99),
                       altered_reply(1, 28, 0x77),
                       truncated_reply(1, 28),
                       unreachable(1, 8),
                       status(1, ReceiveStatus::too_long),
                       status(1, ReceiveStatus::interrupted),
                       reply(1)};
       },
       7, 7},
      {"header-only reply, then nothing", [](auto& p) { p.arrivals = {truncated_reply(5, 28)}; },
       kPingFailed, 1000},
      {"error quoting our request",
       [](auto& p) {
         p.arrivals = {unreachable(4), reply(1)};
       },
       kPingFailed, 4},
      {"silence", [](auto&) {}, kPingFailed, 1000},
      {"receive error", [](auto& p) { p.arrivals = {status(2, ReceiveStatus::failed)}; },
       kPingFailed, 2},
      {"reply after the deadline, behind foreign traffic",
       [](auto& p) {
         p.arrivals = {own_request_copy(900), reply(150)};
       },
       kPingFailed, 1000},
      {"reply just inside the deadline",
       [](auto& p) {
         p.arrivals = {own_request_copy(900), reply(99)};
       },
       999, 999},
      {"send fails", [](auto& p) { p.send_succeeds = false; }, kPingFailed, 0},
      {"receive time-out cannot be set", [](auto& p) { p.receive_timeout_succeeds = false; },
       kPingFailed, 0},
      {"send time-out cannot be set", [](auto& p) { p.send_timeout_succeeds = false; }, kPingFailed,
       0},
      {"counter wraps during the wait",
       [](auto& p) {
         p.now = 0xFFFFFFF0u;
         p.arrivals = {own_request_copy(10), reply(22)};
       },
       32, 32},
  };
  for (const auto& c : cases) {
    ScriptedIcmp platform;
    c.script(platform);
    const std::uint32_t started = platform.now;
    EXPECT_EQ(probe_round_trip(platform, "127.0.0.9"), c.result) << c.name;
    EXPECT_EQ(platform.opens, 1) << c.name;
    EXPECT_EQ(platform.closes, 1) << c.name;
    EXPECT_EQ(platform.now - started, c.elapsed_ms) << c.name;
  }
}

TEST(Probe, NoSocketMeansFailureAndNothingToClose) {
  ScriptedIcmp platform;
  platform.open_succeeds = false;
  EXPECT_EQ(probe_round_trip(platform, "127.0.0.1"), kPingFailed);
  EXPECT_EQ(platform.closes, 0);
  EXPECT_TRUE(platform.sent_request.empty());
}

TEST(Probe, AddressConversionComesFirstAndLookupOnlyWhenItFails) {
  ScriptedIcmp by_address;
  by_address.dotted_address = 0x0900007F;
  by_address.looked_up_address = ipv4_address(0x0800007F);
  by_address.arrivals = {reply(1)};
  EXPECT_EQ(probe_round_trip(by_address, "127.0.0.9"), 1);
  EXPECT_EQ(by_address.lookups, 0);
  EXPECT_TRUE(same_host(by_address.sent_to, ipv4_address(0x0900007F)));

  // 0.0.0.0 names no host (Linux would answer it from 127.0.0.1).
  ScriptedIcmp unspecified;
  unspecified.dotted_address = 0;
  EXPECT_EQ(probe_round_trip(unspecified, "0.0.0.0"), kPingFailed);
  EXPECT_EQ(unspecified.opens, 0);

  ScriptedIcmp by_name;
  by_name.arrivals = {reply(1)};
  EXPECT_EQ(probe_round_trip(by_name, "localhost"), 1);
  EXPECT_EQ(by_name.lookups, 1);
  EXPECT_TRUE(same_host(by_name.sent_to, by_name.looked_up_address));

  // The address decides the socket's family, so nothing is opened without one.
  ScriptedIcmp unresolvable;
  unresolvable.lookup_succeeds = false;
  EXPECT_EQ(probe_round_trip(unresolvable, "no.such.name"), kPingFailed);
  EXPECT_TRUE(unresolvable.sent_request.empty());
  EXPECT_EQ(unresolvable.opens + unresolvable.closes, 0);
}

TEST(Probe, SendsTheTwelveByteRequestWithTimeoutsOfOneSecond) {
  ScriptedIcmp platform;
  platform.arrivals = {reply(1)};
  probe_round_trip(platform, "127.0.0.9");
  Bytes expected(kPacketBufferSize, 0);
  build_echo_request(std::span<std::uint8_t, kPacketBufferSize>(expected), IpFamily::v4,
                     platform.pid, platform.send_time);
  expected.resize(kEchoRequestSize);
  EXPECT_EQ(platform.sent_request, expected);
  EXPECT_EQ(platform.receive_timeouts, std::vector<std::uint32_t>{1000u});
}

TEST(Probe, DeadlineHoldsUnderEndlessForeignTraffic) {
  ScriptedIcmp platform;
  platform.endless = [] { return own_request_copy(1); };
  const std::uint32_t started = platform.now;
  EXPECT_EQ(probe_round_trip(platform, "127.0.0.9"), kPingFailed);
  EXPECT_EQ(platform.now - started, 1000u);
  EXPECT_EQ(platform.closes, 1);
  // Each wait is for what is left of the second after the send.
  ASSERT_GE(platform.waits.size(), 3u);
  EXPECT_EQ(platform.waits[0], 1000u);
  EXPECT_EQ(platform.waits[1], 999u);
  EXPECT_EQ(platform.waits.back(), 1u);
}

// A datagram socket delivers the bare ICMP message and says who sent it.
Arrival bare_reply(std::uint32_t after_ms, std::uint16_t identifier,
                   std::uint8_t type = kIcmpEchoReply) {
  return {after_ms, ReceiveStatus::datagram, [identifier, type](const Bytes& request) {
            Bytes message = request;
            message[0] = type;
            message[4] = static_cast<std::uint8_t>(identifier);
            message[5] = static_cast<std::uint8_t>(identifier >> 8);
            return message;
          }};
}

// The kernel writes its own identifier and hands over only what carries it,
// so a reply without the process's identifier is still this call's.
TEST(Probe, KernelOwnedIdentifierIsNotComparedAgain) {
  ScriptedIcmp platform;
  platform.opened_socket = {7, IpFamily::v4, false, true};
  platform.arrivals = {bare_reply(3, 0xBEEF)};
  EXPECT_EQ(probe_round_trip(platform, "127.0.0.9"), 3);
}

// An IPv6 address opens an IPv6 socket and is judged by the ICMPv6 types.
TEST(Probe, IpV6TargetSendsAndMatchesIcmpV6) {
  ScriptedIcmp platform;
  platform.looked_up_address = {
      IpFamily::v6, {0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 0};
  platform.arrival_sender = platform.looked_up_address;
  platform.opened_socket = {7, IpFamily::v6, false, true};
  platform.arrivals = {bare_reply(1, 0xBEEF, kIcmpEchoReply),
                       bare_reply(4, 0xBEEF, kIcmp6EchoReply)};
  EXPECT_EQ(probe_round_trip(platform, "fd00::1"), 5);
  EXPECT_EQ(platform.sent_request[0], kIcmp6EchoRequest);
  EXPECT_TRUE(same_host(platform.sent_to, platform.looked_up_address));
}

// Windows reads its clock from QueryPerformanceCounter at the frequency
// QueryPerformanceFrequency reports.
TEST(CounterMilliseconds, ScalesWithoutOverflowAndWrapsLikeATick) {
  constexpr std::uint64_t k10MHz = 10'000'000;
  constexpr std::uint64_t kAcpiHz = 3'579'545;
  constexpr std::uint64_t kWrapMs = std::uint64_t{1} << 32;
  struct Row {
    const char* name;
    std::uint64_t counter;
    std::uint64_t frequency;
    std::uint32_t milliseconds;
  };
  const std::vector<Row> rows = {
      {"10 MHz: just short of 1 ms", 9'999, k10MHz, 0},
      {"10 MHz: 1 ms", 10'000, k10MHz, 1},
      {"10 MHz: 1 s", k10MHz, k10MHz, 1000},
      {"ACPI timer: just short of 1 ms", 3'579, kAcpiHz, 0},
      {"ACPI timer: 1 ms", 3'580, kAcpiHz, 1},
      {"ACPI timer: 1 s", kAcpiHz, kAcpiHz, 1000},
      {"10 MHz: last ms before the wrap", (kWrapMs - 1) * 10'000, k10MHz, 0xFFFFFFFFu},
      {"10 MHz: the wrap", kWrapMs * 10'000, k10MHz, 0},
      {"ACPI timer: after the wrap", (kWrapMs + 16) * kAcpiHz / 1000 + 1, kAcpiHz, 16},
      {"3 GHz after 100 days, past where counter * 1000 overflows", 100ull * 86'400 * 3'000'000'000,
       3'000'000'000, static_cast<std::uint32_t>(100ull * 86'400'000)},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(platform::counter_milliseconds(row.counter, row.frequency), row.milliseconds)
        << row.name;
  }
  // A round trip across the wrap, as the probe computes it.
  const std::uint32_t before = platform::counter_milliseconds((kWrapMs - 16) * 10'000, k10MHz);
  const std::uint32_t after = platform::counter_milliseconds((kWrapMs + 16) * 10'000, k10MHz);
  EXPECT_EQ(static_cast<std::int32_t>(after - before), 32);
}

}  // namespace
}  // namespace pingext::testing
