// The wire logic alone: nanoseconds per call.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "probe/echo_message.h"

namespace {

void BM_BuildEchoRequest(benchmark::State& state) {
  std::array<std::uint8_t, pingext::kPacketBufferSize> request{};
  std::uint32_t send_time = 0;
  for (auto _ : state) {
    pingext::build_echo_request(request, pingext::IpFamily::v4, 0x1234, ++send_time);
    benchmark::DoNotOptimize(request.data());
  }
}
BENCHMARK(BM_BuildEchoRequest);

void BM_InternetChecksum(benchmark::State& state) {
  std::array<std::uint8_t, pingext::kEchoRequestSize> message{8, 0, 0, 0, 0x34, 0x12,
                                                              0, 0, 1, 2, 3,    4};
  for (auto _ : state) {
    ++message[11];
    benchmark::DoNotOptimize(pingext::internet_checksum(message));
  }
}
BENCHMARK(BM_InternetChecksum);

void BM_MatchEchoReply(benchmark::State& state) {
  std::array<std::uint8_t, pingext::kPacketBufferSize> request{};
  pingext::build_echo_request(request, pingext::IpFamily::v4, 0x1234, 5000);
  std::array<std::uint8_t, 32> reply{0x45, 0, 0,   32, 0, 0, 0,   0, 64, 1,
                                     0,    0, 127, 0,  0, 1, 127, 0, 0,  1};
  std::copy_n(request.begin(), pingext::kEchoRequestSize, reply.begin() + 20);
  reply[20] = pingext::kIcmpEchoReply;
  const pingext::SentEcho sent{0x1234, 5000, {pingext::IpFamily::v4, {127, 0, 0, 1}, 0}, false};
  std::uint32_t receive_time = 5000;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        pingext::match_echo_reply(pingext::split_ipv4_datagram(reply), ++receive_time, sent));
  }
}
BENCHMARK(BM_MatchEchoReply);

}  // namespace

BENCHMARK_MAIN();
