#!/bin/sh
# Sets up, builds the Linux library and reference host, and pings a target
# (127.0.0.1 unless one is given) four times. Run as root: raw sockets need it.
set -eu
cd "$(dirname "$0")/.."
target=${1:-127.0.0.1}
sh scripts/install_packages.sh ca-certificates g++ cmake ninja-build
cmake --preset linux -DPINGEXT_TESTS=OFF >/dev/null
cmake --build --preset linux
echo "exthost: the library offers:"
./build/linux/exthost build/linux/libpingext.so
echo "exthost: ping $target, four times:"
./build/linux/exthost --repeat 4 --interval 500 build/linux/libpingext.so ping "$target"
