#!/bin/sh
# Sets up and runs every test: the Linux build natively, the Windows build under
# Wine. Run as root: the network tests make private network namespaces.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install_packages.sh ca-certificates g++ cmake ninja-build googletest libgtest-dev \
  binutils iproute2 procps util-linux mingw-w64 wine wine64

for preset in linux windows; do
  echo "=== $preset: build"
  cmake --preset "$preset" -DPINGEXT_TESTS=ON >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: test"
  ctest --preset "$preset"
done
