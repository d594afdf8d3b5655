#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "probe/echo_message.h"
#include "probe/millisecond_clock.h"
#include "probe/round_trip_steps.h"
#include "tests/scripted_exchange.h"

namespace pingext::testing {
namespace {

using platform::Sent;

// The request sent back as an echo reply.
Bytes reply_to(const Bytes& request) {
  Bytes message = request;
  message[0] = kIcmpEchoReply;
  return message;
}

ScriptedMessage reply(std::uint32_t at_ms, bool stamped = true) {
  return {at_ms, reply_to, stamped};
}

ScriptedMessage altered_reply(std::uint32_t at_ms, std::size_t at, std::uint8_t value) {
  return {at_ms, [at, value](const Bytes& request) {
            Bytes message = reply_to(request);
            message[at] = value;
            return message;
          }};
}

ScriptedMessage sized_reply(std::uint32_t at_ms, std::size_t length) {
  return {at_ms, [length](const Bytes& request) {
            Bytes message = reply_to(request);
            message.resize(length);
            return message;
          }};
}

// Another program's echo reply: other identifier, other send time.
ScriptedMessage foreign(std::uint32_t at_ms) { return altered_reply(at_ms, 8, 0x99); }

// Destination unreachable quoting the request as the network saw it.
ScriptedMessage unreachable(std::uint32_t at_ms, std::uint8_t destination_last_byte = 9) {
  return {at_ms, [destination_last_byte](const Bytes& request) {
            Bytes message(28 + request.size(), 0);
            const Bytes header{
                3, 1, 0,  0, 0, 0, 0,   0, 0x45, 0, 0,   0, 0, 0,
                0, 0, 64, 1, 0, 0, 127, 0, 0,    1, 127, 0, 0, destination_last_byte};
            std::copy(header.begin(), header.end(), message.begin());
            std::copy(request.begin(), request.end(), message.begin() + 28);
            return message;
          }};
}

ScriptedMessage exchange_fails(std::uint32_t at_ms) { return {at_ms, nullptr}; }

std::deque<ScriptedMessage> foreign_every_ms(std::uint32_t from_ms, std::uint32_t to_ms) {
  std::deque<ScriptedMessage> messages;
  for (std::uint32_t at = from_ms; at <= to_ms; ++at) messages.push_back(foreign(at));
  return messages;
}

const IpAddress kIpv6Target{IpFamily::v6, {0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 0};

struct ProbeCase {
  std::string name;
  std::function<void(ScriptedEcho&)> script;
  std::int32_t result;
  std::uint32_t elapsed_ms;  // from the first send to the end of the call
  int exchanges = 1;         // opened, and each closed once
};

class Probe : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(Probe, GivesItsResultInTimeAndClosesEachExchangeOnce) {
  const ProbeCase& c = GetParam();
  ScriptedEcho platform;
  c.script(platform);
  const std::uint32_t started = platform.now;
  EXPECT_EQ(measure_round_trip(platform, "127.0.0.9"), c.result);
  EXPECT_EQ(platform.opens, c.exchanges);
  EXPECT_EQ(platform.closes, c.exchanges);
  EXPECT_EQ(platform.now - started, c.elapsed_ms);
}

// The count runs from 100,000 unless a row says otherwise.
INSTANTIATE_TEST_SUITE_P(
    Rows, Probe,
    ::testing::Values(
        ProbeCase{"reply", [](auto& p) { p.messages = {reply(3)}; }, 3, 3},
        ProbeCase{"reply in the same tick", [](auto& p) { p.messages = {reply(0)}; }, 0, 0},
        // The round trip counts from the send time stamped in the request.
        ProbeCase{"the send takes a millisecond",
                  [](auto& p) {
                    p.send_takes_ms = 1;
                    p.messages = {reply(3)};
                  },
                  3, 3},
        ProbeCase{"foreign traffic, then reply",
                  [](auto& p) {
                    p.messages = {altered_reply(1, 0, kIcmpEchoRequest),  // our own, looped back
                                  altered_reply(1, 4, 0x99),
                                  foreign(1),
                                  sized_reply(1, 8),
                                  sized_reply(1, 0),  // too long for the buffer
                                  unreachable(1, 8),
                                  reply(1)};
                  },
                  1, 1},
        ProbeCase{"header-only reply, then nothing",
                  [](auto& p) { p.messages = {sized_reply(5, 8)}; }, kPingFailed, 1000},
        ProbeCase{"error quoting our request",
                  [](auto& p) {
                    p.messages = {unreachable(4), reply(5)};
                  },
                  kPingFailed, 4},
        ProbeCase{"reply, then an error quoting our request",
                  [](auto& p) {
                    p.messages = {reply(5), unreachable(6)};
                  },
                  5, 5},
        ProbeCase{"silence", [](auto&) {}, kPingFailed, 1000},
        ProbeCase{"the exchange fails", [](auto& p) { p.messages = {exchange_fails(2)}; },
                  kPingFailed, 2},
        ProbeCase{"send fails", [](auto& p) { p.sends = {Sent::failed}; }, kPingFailed, 0},
        ProbeCase{"reply after the deadline, behind foreign traffic",
                  [](auto& p) {
                    p.messages = {foreign(900), reply(1050)};
                  },
                  kPingFailed, 1000},
        ProbeCase{"reply at the deadline",
                  [](auto& p) {
                    p.messages = {foreign(900), reply(1000)};
                  },
                  1000, 1000},
        ProbeCase{"endless foreign traffic",
                  [](auto& p) { p.messages = foreign_every_ms(1, 3000); }, kPingFailed, 1000},
        ProbeCase{"counter wraps during the wait",
                  [](auto& p) {
                    p.now = 0xFFFFFFF0u;
                    p.messages = {foreign(10), reply(32)};
                  },
                  32, 32},
        // The caller kept off the CPU: what arrived in time counts by its
        // arrival, however late it is read; nothing later does, and nothing
        // whose arrival is unknown and that is read after the deadline.
        ProbeCase{"reply arrived at 200 ms, read at 1,600 ms",
                  [](auto& p) {
                    p.first_read_after_ms = 1600;
                    p.messages = {reply(200)};
                  },
                  200, 1600},
        ProbeCase{"reply arrived at 1,100 ms, read at 1,600 ms",
                  [](auto& p) {
                    p.first_read_after_ms = 1600;
                    p.messages = {reply(1100)};
                  },
                  kPingFailed, 1600},
        ProbeCase{"reply in time, then an error after the deadline, both read at 1,600 ms",
                  [](auto& p) {
                    p.first_read_after_ms = 1600;
                    p.messages = {reply(200), unreachable(1100)};
                  },
                  200, 1600},
        ProbeCase{"reply queued behind foreign ones, read after the deadline",
                  [](auto& p) {
                    p.first_read_after_ms = 1520;
                    p.messages = foreign_every_ms(1, 49);
                    p.messages.push_back(reply(50));
                  },
                  50, 1520},
        ProbeCase{"endless foreign traffic, read after the deadline",
                  [](auto& p) {
                    p.first_read_after_ms = 1500;
                    p.messages = foreign_every_ms(1, 3000);
                  },
                  kPingFailed, 1500},
        ProbeCase{"reply unstamped, read at 1,600 ms",
                  [](auto& p) {
                    p.first_read_after_ms = 1600;
                    p.messages = {reply(200, false)};
                  },
                  kPingFailed, 1600},
        ProbeCase{"reply unstamped, read at 700 ms: the read time stands",
                  [](auto& p) {
                    p.first_read_after_ms = 700;
                    p.messages = {reply(200, false)};
                  },
                  700, 700},
        // A name with addresses of both families.
        ProbeCase{"no route to the first address: the other family's answers",
                  [](auto& p) {
                    p.target = {ipv4_address(0x010200C0), true, kIpv6Target};
                    p.sender = kIpv6Target;
                    p.sends = {Sent::no_route};
                    p.messages = {{2, [](const Bytes& request) {
                                     Bytes message = request;
                                     message[0] = kIcmp6EchoReply;
                                     return message;
                                   }}};
                  },
                  2, 2, 2},
        ProbeCase{"no route and no other address", [](auto& p) { p.sends = {Sent::no_route}; },
                  kPingFailed, 0},
        ProbeCase{"a send that fails otherwise is not tried elsewhere",
                  [](auto& p) {
                    p.target = {ipv4_address(0x010200C0), true, kIpv6Target};
                    p.sends = {Sent::failed};
                  },
                  kPingFailed, 0},
        ProbeCase{"no route to either address",
                  [](auto& p) {
                    p.target = {ipv4_address(0x010200C0), true, kIpv6Target};
                    p.sends = {Sent::no_route, Sent::no_route};
                  },
                  kPingFailed, 0, 2}),
    [](const auto& row) { return test_name_of(row.param.name); });

TEST(ProbeSteps, WhatNamesNoHostOpensNothing) {
  // Resolvers take "" for the local host, and read an address up to a space.
  for (const char* text :
       {"", "127.0.0.1 junk", " 127.0.0.1", "local\thost", "a\nb", "a\x01", "a\x7F"}) {
    ScriptedEcho platform;
    EXPECT_EQ(measure_round_trip(platform, text), kPingFailed) << text;
    EXPECT_EQ(platform.resolves, 0) << text;
    EXPECT_EQ(platform.opens, 0) << text;
  }
  // Bytes of 0x80 and above are a name's own (UTF-8, say), not control bytes.
  ScriptedEcho utf8;
  EXPECT_EQ(measure_round_trip(utf8,
                               "b\xC3\xBC"
                               "cher.test"),
            kPingFailed);
  EXPECT_EQ(utf8.resolves, 1);
  ScriptedEcho unresolvable;
  unresolvable.resolve_succeeds = false;
  EXPECT_EQ(measure_round_trip(unresolvable, "no.such.name"), kPingFailed);
  EXPECT_EQ(unresolvable.opens, 0);
  // 0.0.0.0 names no host (Linux would answer it from 127.0.0.1), nor does a
  // name's link-local address without an interface.
  for (const IpAddress& answer :
       {ipv4_address(0),
        IpAddress{IpFamily::v6, {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 0}}) {
    ScriptedEcho platform;
    platform.target.first = answer;
    EXPECT_EQ(measure_round_trip(platform, "answered.test"), kPingFailed);
    EXPECT_EQ(platform.opens, 0);
  }
  ScriptedEcho no_exchange;
  no_exchange.open_succeeds = false;
  EXPECT_EQ(measure_round_trip(no_exchange, "127.0.0.9"), kPingFailed);
  EXPECT_EQ(no_exchange.closes, 0);
  EXPECT_TRUE(no_exchange.sent_to.empty());
}

TEST(ProbeSteps, SendsTheTwelveByteRequestAndASecondToAnswerIt) {
  ScriptedEcho platform;
  platform.messages = {reply(1)};
  measure_round_trip(platform, "127.0.0.9");
  Bytes expected(kPacketBufferSize, 0);
  build_echo_request(std::span<std::uint8_t, kPacketBufferSize>(expected), IpFamily::v4,
                     platform.identity.identifier, platform.send_time);
  expected.resize(kEchoRequestSize);
  EXPECT_EQ(platform.sent_request, expected);
  EXPECT_EQ(platform.deadline, platform.send_time + 1000);
  ASSERT_EQ(platform.sent_to.size(), 1u);
  EXPECT_TRUE(same_host(platform.sent_to[0], platform.target.first));
}

// The system writes its own identifier and hands over only what carries it,
// so a reply without ours is still this call's.
TEST(ProbeSteps, IdentifierCheckedByTheSystemIsNotComparedAgain) {
  ScriptedEcho platform;
  platform.identity = {0, true};
  platform.messages = {altered_reply(3, 4, 0xEF)};
  EXPECT_EQ(measure_round_trip(platform, "127.0.0.9"), 3);
}

// An IPv6 address opens an IPv6 exchange and is judged by the ICMPv6 types.
TEST(ProbeSteps, IpV6TargetSendsAndMatchesIcmpV6) {
  ScriptedEcho platform;
  platform.target = {kIpv6Target, false, {}};
  platform.sender = kIpv6Target;
  platform.identity = {0, true};
  platform.messages = {reply(1), altered_reply(5, 0, kIcmp6EchoReply)};
  EXPECT_EQ(measure_round_trip(platform, "fd00::1"), 5);
  EXPECT_EQ(platform.sent_request[0], kIcmp6EchoRequest);
  EXPECT_EQ(platform.opened_families, std::vector<IpFamily>{IpFamily::v6});
}

// Windows reads its clock from QueryPerformanceCounter at the frequency
// QueryPerformanceFrequency reports; Linux times arrivals by the kernel's
// wall-clock stamps, mapped onto the monotonic count.
TEST(MillisecondClock, ScalesCountersAndMapsStampsOntoTheCount) {
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
    EXPECT_EQ(counter_milliseconds(row.counter, row.frequency), row.milliseconds) << row.name;
  }
  // A round trip across the wrap, as the probe computes it.
  const std::uint32_t before = counter_milliseconds((kWrapMs - 16) * 10'000, k10MHz);
  const std::uint32_t after = counter_milliseconds((kWrapMs + 16) * 10'000, k10MHz);
  EXPECT_EQ(static_cast<std::int32_t>(after - before), 32);

  // A read at 5,000,000.7 ms on the monotonic clock and a day and a bit on
  // the wall clock, of a socket opened at 4,999,000 ms.
  constexpr std::int64_t kMs = 1'000'000;
  constexpr ClockReading kRead{5'000'000 * kMs + 700'000, 86'400'123 * kMs};
  constexpr std::int64_t kOpened = 4'999'000 * kMs;
  struct StampRow {
    const char* name;
    std::int64_t stamp_wall_ns;
    std::uint32_t tick;
  };
  const std::vector<StampRow> stamps = {
      {"stamped 200 ms before the read", kRead.wall_ns - 200 * kMs, 4'999'800},
      {"stamped 0.8 ms before the read: the millisecond before", kRead.wall_ns - 800'000,
       4'999'999},
      {"stamped as it was read", kRead.wall_ns, 5'000'000},
      {"stamped when the socket opened", kRead.wall_ns - 1'000 * kMs - 700'000, 4'999'000},
      {"stamped before the socket opened: the wall clock stepped", kRead.wall_ns - 2'000 * kMs,
       5'000'000},
      {"stamped after the read: the wall clock stepped back", kRead.wall_ns + 5 * kMs, 5'000'000},
  };
  for (const StampRow& row : stamps) {
    EXPECT_EQ(arrival_tick(row.stamp_wall_ns, kRead, kOpened), row.tick) << row.name;
  }

  // A reply stamped 1 ms after a deadline, mapped by a thread taken off the
  // CPU for 500 ms between its two clock readings, still arrived late.
  std::int64_t since_read_ns = 0;
  const auto then_stall = [&](std::int64_t base_ns) {
    const std::int64_t reading = base_ns + since_read_ns;
    since_read_ns += 500 * kMs;
    return reading;
  };
  const ClockReading stalled = read_clocks([&] { return then_stall(kRead.wall_ns); },
                                           [&] { return then_stall(kRead.monotonic_ns); });
  const std::uint32_t deadline = tick_of(kRead.monotonic_ns) - 100;
  EXPECT_GT(arrival_tick(kRead.wall_ns - 99 * kMs, stalled, kOpened), deadline);
}

}  // namespace
}  // namespace pingext::testing
