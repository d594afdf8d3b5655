#!/bin/sh
# Reruns every measurement in docs/performance.md: the wire logic, then the
# loopback benchmarks in a private network namespace with the scripted peer.
# Run as root. Installs the peer library (liboping) and the ping program for
# comparison only; the library itself depends on neither.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install_packages.sh ca-certificates g++ cmake ninja-build googletest libgtest-dev \
  libbenchmark-dev iproute2 procps util-linux liboping-dev iputils-ping
cmake --preset linux >/dev/null
cmake --build --preset linux
repetitions=${REPETITIONS:-5}
./build/linux/bench/pure_bench --benchmark_repetitions="$repetitions" \
  --benchmark_report_aggregates_only=true
sh tests/in_private_netns.sh --peer build/linux/tests/icmp_peer -- \
  build/linux/bench/loopback_bench --benchmark_repetitions="$repetitions" \
  --benchmark_report_aggregates_only=true
