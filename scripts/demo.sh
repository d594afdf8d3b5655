#!/bin/sh
# Sets up, builds the Linux library and reference host, and pings a target
# (127.0.0.1 unless one is given) four times. Run as root to install packages;
# the ping itself needs no privilege where net.ipv4.ping_group_range allows it.
set -eu
cd "$(dirname "$0")/.."
target=${1:-127.0.0.1}
sh scripts/install_packages.sh ca-certificates g++ cmake ninja-build git
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release
echo "exthost: the library offers:"
./build/linux-release/exthost build/linux-release/libpingext.so
echo "exthost: ping $target, four times:"
./build/linux-release/exthost --repeat 4 --interval 500 build/linux-release/libpingext.so ping "$target"
