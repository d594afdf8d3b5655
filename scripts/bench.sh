#!/bin/sh
# Reruns every measurement in docs/performance.md: the wire logic, then the
# loopback benchmarks in private network namespaces, with the scripted peer
# where they need it.
# Run as root. Installs the peer library (liboping) and the ping program for
# comparison only; the library itself depends on neither.
#   [BASELINE=COMMIT] [REPETITIONS=N] bench.sh
# With BASELINE, that commit's library is built the same way and measured
# beside this one, in the same runs.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install_packages.sh ca-certificates g++ cmake ninja-build googletest libgtest-dev \
  libbenchmark-dev iproute2 procps util-linux liboping-dev iputils-ping
cmake --preset linux >/dev/null
cmake --build --preset linux
if [ -n "${BASELINE:-}" ]; then
  rm -rf build/baseline-source
  mkdir -p build/baseline-source
  git archive "$BASELINE" | tar -x -C build/baseline-source
  cmake -S build/baseline-source -B build/baseline -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=g++ -DPINGEXT_TESTS=OFF >/dev/null
  cmake --build build/baseline --target pingext
  export PINGEXT_BASELINE_LIBRARY="$(pwd)/build/baseline/libpingext.so"
fi
repetitions=${REPETITIONS:-5}
./build/linux/bench/pure_bench --benchmark_repetitions="$repetitions" \
  --benchmark_report_aggregates_only=true
# Repetitions interleaved at random, so drift on a shared machine does not
# favour whichever benchmark ran first.
aggregates="--benchmark_repetitions=$repetitions --benchmark_report_aggregates_only=true
  --benchmark_enable_random_interleaving=true"
# Calls to 127.0.0.1 and ::1, one thread and many, with nothing else in the
# namespace: the scripted peer's raw socket would take a copy of every ICMP
# message and slow every exchange.
# shellcheck disable=SC2086
sh tests/in_private_netns.sh -- build/linux/bench/loopback_bench $aggregates \
  --benchmark_min_warmup_time=0.2 \
  --benchmark_filter='^BM_(DatagramFloor|OurPing|OurPingUnhardened|BaselinePing|OurPingThreads|Liboping|Floor|FloorWithIcmpFilter|RawSteps|PingProgram)(/|$)'
# Lost replies on raw sockets, a million calls each from 2, 8 and 64 threads,
# three times.
sh tests/in_private_netns.sh -- build/linux/bench/loopback_bench --benchmark_filter='^BM_RawLostReplies' \
  --benchmark_repetitions=3
# Foreign traffic, the deadline and early errors need the peer.
# shellcheck disable=SC2086
sh tests/in_private_netns.sh --peer build/linux/tests/icmp_peer -- \
  build/linux/bench/loopback_bench $aggregates \
  --benchmark_filter='^BM_(OurPingUnderForeignTraffic|SilentTarget|ErrorQuotingRequest)'
# Raw delivery with no code of ours: two bare probes at once, each a socket
# per call to 127.0.0.1.
sh tests/in_private_netns.sh -- sh -c \
  'p=build/linux/bench/bare_raw_probe; $p 500000 & $p 500000; wait'
# The least stack a call needs, on each path.
sh scripts/stack_need.sh build/linux
# Round trips on loopback as 256 calling threads report them, against a bare
# probe that asks for receive stamps before it sends, three rounds.
sh tests/in_private_netns.sh -- build/linux/bench/loopback_bench --loopback-round-trips 3
# Round trips under load: 64 and 128 calling threads, the peer answering after
# 50 ms, iputils ping beside them. The peer runs first in line for the cores,
# so that what the callers report differs from the truth by their own delays.
sh tests/in_private_netns.sh --peer build/linux/tests/icmp_peer -- sh -c \
  'chrt -f -a -p 10 "$(pidof icmp_peer)" && exec build/linux/bench/loopback_bench --round-trips-under-load'
