// End-to-end cost of one call on loopback, beside the floor of the same
// system calls, a peer library and the ping program, on both Linux socket
// kinds; and what calls report under load. Root only, inside a private
// network namespace (scripts/bench.sh says which rows need the scripted peer
// beside them):
//   tests/in_private_netns.sh [--peer icmp_peer] -- loopback_bench [--round-trips-under-load]
// Benchmarks with a `raw` argument run with ICMP datagram sockets refused
// (raw:1), so the library falls back to raw sockets, or allowed (raw:0).
// With PINGEXT_BASELINE_LIBRARY naming another build of the library, its
// calls are measured beside ours, in the same run.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/host_services.h"
#include "host/library_loader.h"
#include "probe/echo_message.h"

#if defined(PINGEXT_HAVE_LIBOPING)
#include <oping.h>
#endif

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The library asks first, for the life of the process, for the socket kind it
// was allowed when it first asked. So rows of each kind (the `raw` argument)
// call a copy of their own, loaded from a file of its own: each copy's first
// call sees its rows' kind, as a process of that kind would.
pingext::ExtensionFunction g_ping[2] = {};
// The same library built without the hardening flags.
pingext::ExtensionFunction g_unhardened_ping[2] = {};
// Another build of the library, where PINGEXT_BASELINE_LIBRARY names one.
pingext::ExtensionFunction g_baseline_ping[2] = {};

void set_kernel_echo(bool on) {
  std::ofstream("/proc/sys/net/ipv4/icmp_echo_ignore_all") << (on ? "0" : "1") << '\n';
  std::ofstream("/proc/sys/net/ipv6/icmp/echo_ignore_all") << (on ? "0" : "1") << '\n';
}

void allow_datagram_sockets(bool allowed) {
  std::ofstream("/proc/sys/net/ipv4/ping_group_range")
      << (allowed ? "0 2147483647" : "1 0") << '\n';
}

// Runs before any thread of a benchmark starts.
void socket_kind_from_argument(const benchmark::State& state) {
  allow_datagram_sockets(state.range(0) == 0);
  set_kernel_echo(true);
}

// One call of the library's ping, as a host makes it.
std::int32_t call_ping(const char* target, pingext::ExtensionFunction ping = g_ping[0]) {
  exthost::TextArgument text{target};
  pingext::ArgumentHandle argument = &text;
  exthost::IntegerResult result;
  ping(exthost::host_services(), &result, 1, &argument);
  return result.value;
}

void ping_loop(benchmark::State& state, const char* target, pingext::ExtensionFunction ping) {
  for (auto _ : state) {
    if (call_ping(target, ping) < 0) {
      state.SkipWithError("no reply");
      break;
    }
  }
}

void BM_OurPing(benchmark::State& state, const char* target) {
  ping_loop(state, target, g_ping[state.range(0)]);
}

// What the hardening flags cost: the same call through the unhardened build.
void BM_OurPingUnhardened(benchmark::State& state, const char* target) {
  ping_loop(state, target, g_unhardened_ping[state.range(0)]);
}

// The same call through the baseline build.
void BM_BaselinePing(benchmark::State& state, const char* target) {
  ping_loop(state, target, g_baseline_ping[state.range(0)]);
}

// The least the raw exchange can cost: the system calls and nothing else (the
// bare probe), and the same with each further step a raw call of the library
// takes, to find where its time goes.
enum RawStep : unsigned {
  kIcmpFilter = 1,            // ICMP_FILTER: echo replies only
  kRefusedDatagramFirst = 2,  // a datagram socket asked for first, and refused
  kProcessId = 4,             // getpid for the identifier
  kNonBlockingReceive = 8,    // MSG_DONTWAIT first, then poll and receive again
  kReceiveBuffer = 16,        // SO_RCVBUFFORCE of 16 MB
  kNoTimeouts = 32,           // neither SO_RCVTIMEO nor SO_SNDTIMEO
};

void floor_exchange(benchmark::State& state, unsigned steps) {
  const std::uint16_t identifier = static_cast<std::uint16_t>(getpid());
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (auto _ : state) {
    if ((steps & kRefusedDatagramFirst) != 0 &&
        socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP) >= 0) {
      state.SkipWithError("datagram sockets are not refused here");
      break;
    }
    const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if ((steps & kNoTimeouts) == 0) {
      timeval second{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &second, sizeof second);
    }
    if ((steps & kIcmpFilter) != 0) {
      icmp_filter only_replies{~(1u << ICMP_ECHOREPLY)};
      setsockopt(fd, SOL_RAW, ICMP_FILTER, &only_replies, sizeof only_replies);
    }
    if ((steps & kReceiveBuffer) != 0) {
      const int bytes = 16 << 20;
      setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
    }
    const std::uint32_t id =
        (steps & kProcessId) != 0 ? static_cast<std::uint32_t>(getpid()) : identifier;
    std::array<std::uint8_t, pingext::kPacketBufferSize> request{};
    pingext::build_echo_request(request, pingext::IpFamily::v4, id, 1);
    sendto(fd, request.data(), pingext::kEchoRequestSize, 0,
           reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    std::array<std::uint8_t, pingext::kPacketBufferSize> reply{};
    for (;;) {
      ssize_t length = -1;
      if ((steps & kNonBlockingReceive) != 0) {
        length = recv(fd, reply.data(), reply.size(), MSG_DONTWAIT);
        if (length < 0) {
          pollfd ready{fd, POLLIN, 0};
          poll(&ready, 1, 1000);
          length = recv(fd, reply.data(), reply.size(), MSG_DONTWAIT);
        }
      } else {
        length = recv(fd, reply.data(), reply.size(), 0);
      }
      if (length < 0) {
        state.SkipWithError("no reply");
        break;
      }
      if (length >= 28 && reply[20] == 0 &&
          (reply[24] | reply[25] << 8) == static_cast<int>(id & 0xFFFFu)) {
        break;
      }
    }
    close(fd);
  }
}

void BM_Floor(benchmark::State& state) {
  set_kernel_echo(true);
  floor_exchange(state, 0);
}

void BM_FloorWithIcmpFilter(benchmark::State& state) {
  set_kernel_echo(true);
  floor_exchange(state, kIcmpFilter);
}

// The raw floor with the steps the argument names, datagram sockets refused.
void BM_RawSteps(benchmark::State& state) {
  set_kernel_echo(true);
  allow_datagram_sockets(false);
  floor_exchange(state, static_cast<unsigned>(state.range(0)));
}

// Receives one reply (blocking, within the socket's time-out) and its
// kernel receive stamp in nanoseconds on the wall clock, or -1: the echo
// reply's type, or -1 when nothing usable came.
int receive_stamped(int fd, std::int64_t& stamp_ns) {
  std::array<std::uint8_t, pingext::kPacketBufferSize> reply{};
  iovec data{reply.data(), reply.size()};
  alignas(cmsghdr) std::array<std::uint8_t, 64> control{};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = control.size();
  stamp_ns = -1;
  if (recvmsg(fd, &message, 0) < 8) return -1;
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS) {
      timespec stamp;
      std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
      stamp_ns = static_cast<std::int64_t>(stamp.tv_sec) * 1000000000 + stamp.tv_nsec;
    }
  }
  return reply[0];
}

// The same for an ICMP datagram socket: one socket per exchange with both
// time-outs and error reports on, as a careful one-shot caller would set it;
// `stamped`, it also asks for receive stamps before it sends and reads the
// reply with its stamp. The kernel delivers only this socket's reply, without
// an IP header.
void BM_DatagramFloor(benchmark::State& state, bool ipv6, bool stamped) {
  set_kernel_echo(true);
  allow_datagram_sockets(true);
  sockaddr_in6 destination6{};
  destination6.sin6_family = AF_INET6;
  destination6.sin6_addr = in6addr_loopback;
  sockaddr_in destination4{};
  destination4.sin_family = AF_INET;
  destination4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const auto* destination = ipv6 ? reinterpret_cast<const sockaddr*>(&destination6)
                                 : reinterpret_cast<const sockaddr*>(&destination4);
  const socklen_t destination_length = ipv6 ? sizeof destination6 : sizeof destination4;
  const pingext::IpFamily family = ipv6 ? pingext::IpFamily::v6 : pingext::IpFamily::v4;
  for (auto _ : state) {
    const int fd = ipv6 ? socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMPV6)
                        : socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    timeval second{1, 0};
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &second, sizeof second);
    if (ipv6) {
      setsockopt(fd, SOL_IPV6, IPV6_RECVERR, &on, sizeof on);
    } else {
      setsockopt(fd, SOL_IP, IP_RECVERR, &on, sizeof on);
    }
    if (stamped) setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    std::array<std::uint8_t, pingext::kPacketBufferSize> request{};
    pingext::build_echo_request(request, family, 0, 1);
    sendto(fd, request.data(), pingext::kEchoRequestSize, 0, destination, destination_length);
    std::int64_t stamp_ns = -1;
    if (receive_stamped(fd, stamp_ns) != pingext::echo_reply_type(family) ||
        (stamped && stamp_ns < 0)) {
      state.SkipWithError("no reply");
    }
    close(fd);
  }
}

#if defined(PINGEXT_HAVE_LIBOPING)
void BM_Liboping(benchmark::State& state) {
  set_kernel_echo(true);
  allow_datagram_sockets(true);
  pingobj_t* pinger = ping_construct();
  double timeout = 1.0;
  ping_setopt(pinger, PING_OPT_TIMEOUT, &timeout);
  if (ping_host_add(pinger, "127.0.0.1") != 0) state.SkipWithError(ping_get_error(pinger));
  for (auto _ : state) {
    if (ping_send(pinger) != 1) {
      state.SkipWithError("no reply");
      break;
    }
  }
  ping_destroy(pinger);
}
#endif

void BM_PingProgram(benchmark::State& state) {
  set_kernel_echo(true);
  allow_datagram_sockets(true);
  char* arguments[] = {const_cast<char*>("ping"),      const_cast<char*>("-c1"),
                       const_cast<char*>("-W1"),       const_cast<char*>("-q"),
                       const_cast<char*>("127.0.0.1"), nullptr};
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  for (auto _ : state) {
    pid_t child = 0;
    int status = 0;
    if (posix_spawnp(&child, "ping", &quiet, nullptr, arguments, environ) != 0 ||
        waitpid(child, &status, 0) != child || status != 0) {
      state.SkipWithError("ping -c1 failed");
      break;
    }
  }
  posix_spawn_file_actions_destroy(&quiet);
}

// Every raw socket in the process sees every thread's traffic, so with more
// threads than cores a descheduled socket's queue can overflow and lose its
// reply: count such calls (summed over the threads) instead of failing.
void BM_OurPingThreads(benchmark::State& state) {
  double lost = 0;
  for (auto _ : state) {
    if (call_ping("127.0.0.1", g_ping[state.range(0)]) < 0) ++lost;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["lost"] = lost;
  state.counters["calls"] = static_cast<double>(state.iterations());
}

// Other programs' pings at a steady rate: echo requests and echo replies
// with their own identifiers, which reach every raw ICMP socket on the host.
class ForeignTraffic {
 public:
  explicit ForeignTraffic(long per_second) {
    if (per_second == 0) return;
    sender_ = std::thread([this, per_second] { run(per_second); });
  }
  ~ForeignTraffic() {
    stop_ = true;
    if (sender_.joinable()) sender_.join();
  }

 private:
  void run(long per_second) {
    const int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    std::array<std::array<std::uint8_t, pingext::kPacketBufferSize>, 2> messages{};
    pingext::build_echo_request(messages[0], pingext::IpFamily::v4, 0x7777, 42);
    pingext::build_echo_request(messages[1], pingext::IpFamily::v4, 0x7778, 42);
    messages[1][0] = pingext::kIcmpEchoReply;
    messages[1][2] = messages[1][3] = 0;
    const std::uint16_t sum = pingext::internet_checksum(std::span(messages[1]).first(12));
    messages[1][2] = static_cast<std::uint8_t>(sum);
    messages[1][3] = static_cast<std::uint8_t>(sum >> 8);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto started = Clock::now();
    long sent = 0;
    while (!stop_) {
      const auto due =
          static_cast<long>(std::chrono::duration<double>(Clock::now() - started).count() *
                            static_cast<double>(per_second));
      for (; sent < due; ++sent) {
        sendto(fd, messages[static_cast<std::size_t>(sent % 2)].data(), 12, 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof to);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    close(fd);
  }

  std::atomic<bool> stop_{false};
  std::thread sender_;
};

// A 20 ms round trip (the scripted peer at 127.0.0.2) keeps the socket open
// long enough for foreign traffic to reach it; the CPU column is the calling
// thread's cost per call.
void BM_OurPingUnderForeignTraffic(benchmark::State& state) {
  set_kernel_echo(false);
  ForeignTraffic traffic(state.range(1));
  double lost = 0;
  for (auto _ : state) {
    if (call_ping("127.0.0.2", g_ping[state.range(0)]) < 0) ++lost;
  }
  state.counters["foreign_per_s"] = static_cast<double>(state.range(1));
  state.counters["lost"] = benchmark::Counter(lost, benchmark::Counter::kAvgIterations);
  set_kernel_echo(true);
}

// How closely the one-second deadline and an early error are kept.
void timed_failures(benchmark::State& state, const char* target) {
  set_kernel_echo(false);
  allow_datagram_sockets(true);
  double longest = 0;
  for (auto _ : state) {
    const auto started = Clock::now();
    const std::int32_t result = call_ping(target);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    state.SetIterationTime(ms / 1000);
    longest = std::max(longest, ms);
    if (result != -1) {
      state.SkipWithError("expected -1");
      break;
    }
  }
  state.counters["max_ms"] = longest;
  set_kernel_echo(true);
}

void BM_SilentTarget(benchmark::State& state) { timed_failures(state, "127.0.0.1"); }
void BM_ErrorQuotingRequest(benchmark::State& state) { timed_failures(state, "127.0.0.6"); }

}  // namespace

BENCHMARK_CAPTURE(BM_DatagramFloor, v4, false, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_DatagramFloor, v4_stamped, false, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_OurPing, v4, "127.0.0.1")
    ->Setup(socket_kind_from_argument)
    ->ArgName("raw")
    ->Arg(0)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_OurPingUnhardened, v4, "127.0.0.1")
    ->Setup(socket_kind_from_argument)
    ->ArgName("raw")
    ->DenseRange(0, 1)
    ->Unit(benchmark::kMicrosecond);
#if defined(PINGEXT_HAVE_LIBOPING)
BENCHMARK(BM_Liboping)->Unit(benchmark::kMicrosecond);
#endif
BENCHMARK(BM_Floor)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FloorWithIcmpFilter)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawSteps)
    ->ArgName("steps")
    ->Args({kIcmpFilter | kRefusedDatagramFirst})
    ->Args({kIcmpFilter | kProcessId})
    ->Args({kIcmpFilter | kNonBlockingReceive})
    ->Args({kIcmpFilter | kReceiveBuffer})
    ->Args({kIcmpFilter | kNoTimeouts})
    ->Args({kIcmpFilter | kRefusedDatagramFirst | kProcessId | kNonBlockingReceive | kNoTimeouts})
    ->Args({kIcmpFilter | kRefusedDatagramFirst | kProcessId | kNonBlockingReceive | kNoTimeouts |
            kReceiveBuffer})
    ->Args({kIcmpFilter | kProcessId | kNonBlockingReceive | kNoTimeouts | kReceiveBuffer})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_OurPing, v4, "127.0.0.1")
    ->Setup(socket_kind_from_argument)
    ->ArgName("raw")
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_DatagramFloor, v6, true, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_DatagramFloor, v6_stamped, true, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_OurPing, v6, "::1")
    ->Setup(socket_kind_from_argument)
    ->ArgName("raw")
    ->DenseRange(0, 1)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PingProgram)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OurPingThreads)
    ->Setup(socket_kind_from_argument)
    ->ArgName("raw")
    ->DenseRange(0, 1)
    ->ThreadRange(1, 128)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
// Lost replies on raw sockets over a million calls, however many threads
// share them (Google Benchmark counts iterations per thread).
void raw_lost_replies(int threads) {
  benchmark::RegisterBenchmark("BM_RawLostReplies", BM_OurPingThreads)
      ->Setup(socket_kind_from_argument)
      ->ArgName("raw")
      ->Arg(1)
      ->Threads(threads)
      ->Iterations(1'000'000 / threads)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
}
BENCHMARK(BM_OurPingUnderForeignTraffic)
    ->Setup(socket_kind_from_argument)
    ->ArgNames({"raw", "foreign_per_s"})
    ->ArgsProduct({{0, 1}, {0, 10000, 40000}})
    // Counted, not timed: a call costs so little CPU that reaching the
    // minimum CPU time would take minutes of 20 ms calls.
    ->Iterations(50)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SilentTarget)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ErrorQuotingRequest)->Iterations(50)->UseManualTime()->Unit(benchmark::kMillisecond);

// Round trips as calls report them under load: `threads` threads call the
// peer's 50 ms address for `seconds`, while iputils ping, which times each
// reply by the kernel's receive stamp, pings the same address as the anchor.
struct RoundTrips {
  std::vector<std::int32_t> answered;
  long lost = 0;

  std::int32_t at(double fraction) const {
    return answered.empty() ? -1
                            : answered[static_cast<std::size_t>(
                                  fraction * static_cast<double>(answered.size() - 1))];
  }
  std::string row() const {
    return std::to_string(answered.size()) + " | " + std::to_string(lost) + " | " +
           std::to_string(at(0.5)) + " | " + std::to_string(at(0.99)) + " | " +
           std::to_string(at(1.0));
  }
};

RoundTrips iputils_round_trips(FILE* output) {
  RoundTrips trips;
  char line[256];
  while (std::fgets(line, sizeof line, output) != nullptr) {
    const char* time = std::strstr(line, "time=");
    if (time != nullptr) trips.answered.push_back(static_cast<std::int32_t>(std::atof(time + 5)));
  }
  return trips;
}

void round_trips_under_load(const char* what, pingext::ExtensionFunction ping, int threads,
                            int seconds, int spinners) {
  constexpr const char* kTarget = "127.0.0.16";  // the peer answers after 50 ms
  std::vector<RoundTrips> per_thread(static_cast<std::size_t>(threads));
  std::atomic<bool> stop{false};
  std::vector<std::thread> callers;
  // Threads that never sleep, as other work on a loaded host.
  for (int i = 0; i < spinners; ++i) {
    callers.emplace_back([&] {
      while (!stop) benchmark::DoNotOptimize(stop.load());
    });
  }
  for (std::size_t i = 0; i < per_thread.size(); ++i) {
    callers.emplace_back([&, i] {
      RoundTrips& trips = per_thread[i];
      while (!stop) {
        const std::int32_t result = call_ping(kTarget, ping);
        if (result < 0) {
          ++trips.lost;
        } else {
          trips.answered.push_back(result);
        }
      }
    });
  }
  const std::string anchor_command =
      "ping -n -i 0.2 -W 2 -c " + std::to_string(seconds * 5) + " " + kTarget + " 2>/dev/null";
  FILE* anchor_output = popen(anchor_command.c_str(), "r");
  RoundTrips anchor = iputils_round_trips(anchor_output);
  pclose(anchor_output);
  stop = true;
  for (auto& caller : callers) caller.join();
  RoundTrips ours;
  for (const auto& trips : per_thread) {
    ours.answered.insert(ours.answered.end(), trips.answered.begin(), trips.answered.end());
    ours.lost += trips.lost;
  }
  std::sort(ours.answered.begin(), ours.answered.end());
  std::sort(anchor.answered.begin(), anchor.answered.end());
  std::printf("| %s | %d | %d | %s | %s |\n", what, threads, spinners, ours.row().c_str(),
              anchor.row().c_str());
  std::fflush(stdout);
}

int round_trips_under_load(int seconds) {
  set_kernel_echo(false);
  std::printf(
      "| library, socket | threads | spinning | calls answered | lost | median | p99 | "
      "max | iputils answered | lost | median | p99 | max |\n");
  for (const int raw : {0, 1}) {
    allow_datagram_sockets(raw == 0);
    for (const int spinners : {0, 8}) {
      for (const int threads : {64, 128}) {
        const std::string kind = raw == 0 ? "datagram" : "raw";
        if (g_baseline_ping[raw] != nullptr) {
          round_trips_under_load(("baseline, " + kind).c_str(), g_baseline_ping[raw], threads,
                                 seconds, spinners);
        }
        round_trips_under_load(("this build, " + kind).c_str(), g_ping[raw], threads, seconds,
                               spinners);
      }
    }
  }
  set_kernel_echo(true);
  return 0;
}

// One exchange of a bare probe that asks for receive stamps before it sends
// and reads the clock just before the send: the round trip by the kernel's
// stamp, in milliseconds, or -1.
double bare_stamped_round_trip_ms() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::array<std::uint8_t, pingext::kPacketBufferSize> request{};
  pingext::build_echo_request(request, pingext::IpFamily::v4, 0, 1);
  timespec sent{};
  clock_gettime(CLOCK_REALTIME, &sent);
  sendto(fd, request.data(), pingext::kEchoRequestSize, 0, reinterpret_cast<const sockaddr*>(&to),
         sizeof to);
  const timeval second{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
  std::int64_t stamp = -1;
  receive_stamped(fd, stamp);
  close(fd);
  const std::int64_t sent_ns = static_cast<std::int64_t>(sent.tv_sec) * 1000000000 + sent.tv_nsec;
  return stamp < 0 ? -1 : static_cast<double>(stamp - sent_ns) / 1e6;
}

// Round trips on loopback, where the kernel answers within microseconds, as
// `threads` threads of `calls` calls each report them: the library's ping,
// the baseline build's where there is one, and the bare stamped probe, one
// after another in the same run. What a call reports beyond the probe is
// time it spent off the CPU and counted.
void loopback_round_trips(int threads, int calls) {
  set_kernel_echo(true);
  allow_datagram_sockets(true);
  const auto report = [&](const char* what, auto call) {
    std::vector<std::vector<double>> per_thread(static_cast<std::size_t>(threads));
    std::vector<std::thread> callers;
    for (auto& trips : per_thread) {
      callers.emplace_back([&trips, calls, call] {
        trips.reserve(static_cast<std::size_t>(calls));
        for (int i = 0; i < calls; ++i) trips.push_back(call());
      });
    }
    for (auto& caller : callers) caller.join();
    std::vector<double> all;
    for (const auto& trips : per_thread) all.insert(all.end(), trips.begin(), trips.end());
    const auto lost = std::count_if(all.begin(), all.end(), [](double ms) { return ms < 0; });
    std::erase_if(all, [](double ms) { return ms < 0; });
    std::sort(all.begin(), all.end());
    const auto at = [&](double fraction) {
      return all.empty()
                 ? -1.0
                 : all[static_cast<std::size_t>(fraction * static_cast<double>(all.size() - 1))];
    };
    std::printf("| %s | %d | %zu | %ld | %.2f | %.2f | %.2f |\n", what, threads, all.size(),
                static_cast<long>(lost), at(0.5), at(0.99), at(1.0));
    std::fflush(stdout);
  };
  std::printf("| what | threads | answered | lost | median ms | p99 ms | max ms |\n");
  if (g_baseline_ping[0] != nullptr) {
    report("baseline ping",
           [] { return static_cast<double>(call_ping("127.0.0.1", g_baseline_ping[0])); });
  }
  report("ping", [] { return static_cast<double>(call_ping("127.0.0.1", g_ping[0])); });
  report("bare stamped probe", bare_stamped_round_trip_ms);
}

int main(int argc, char** argv) {
  if (std::getenv("PINGEXT_PRIVATE_NETNS") == nullptr) {
    std::fprintf(stderr, "loopback_bench: run it through tests/in_private_netns.sh --peer ...\n");
    return 2;
  }
  exthost::start_sockets();
  std::vector<exthost::LoadedLibrary> copies;
  const char* const baseline = std::getenv("PINGEXT_BASELINE_LIBRARY");
  std::vector<std::pair<const char*, pingext::ExtensionFunction*>> libraries = {
      {PINGEXT_LIBRARY_PATH, g_ping}, {PINGEXT_UNHARDENED_LIBRARY_PATH, g_unhardened_ping}};
  if (baseline != nullptr) libraries.emplace_back(baseline, g_baseline_ping);
  for (const auto& [path, by_kind] : libraries) {
    for (int kind = 0; kind < 2; ++kind) {
      const std::string copy = std::string("/tmp/loopback_bench_") + std::to_string(getpid()) +
                               "_" + std::to_string(copies.size()) + ".so";
      std::filesystem::copy_file(path, copy);
      copies.push_back(exthost::load_library(copy));
      std::filesystem::remove(copy);
      if (copies.back().handle == nullptr) {
        std::fprintf(stderr, "loopback_bench: %s\n", copies.back().error.c_str());
        return 1;
      }
      by_kind[kind] = exthost::find_entry_point(copies.back())()[0].function;
    }
  }
  if (argc > 1 && std::strcmp(argv[1], "--round-trips-under-load") == 0) {
    return round_trips_under_load(argc > 2 ? std::atoi(argv[2]) : 10);
  }
  if (argc > 1 && std::strcmp(argv[1], "--loopback-round-trips") == 0) {
    for (int round = 0; round < (argc > 2 ? std::atoi(argv[2]) : 3); ++round) {
      loopback_round_trips(256, 200);
    }
    return 0;
  }
  if (baseline != nullptr) {
    for (const auto& [name, target] : {std::pair{"v4", "127.0.0.1"}, std::pair{"v6", "::1"}}) {
      benchmark::RegisterBenchmark((std::string("BM_BaselinePing/") + name).c_str(),
                                   BM_BaselinePing, target)
          ->Setup(socket_kind_from_argument)
          ->ArgName("raw")
          ->DenseRange(0, 1)
          ->Unit(benchmark::kMicrosecond);
    }
  }
  for (const int threads : {2, 8, 64}) raw_lost_replies(threads);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (auto& copy : copies) exthost::unload_library(copy);
  return 0;
}
