#!/bin/sh
# Sets up and runs every test: the Linux build natively, the Windows build under
# Wine, clang-tidy over both, the Linux build again under AddressSanitizer and
# UndefinedBehaviorSanitizer,
# each fuzz target for a bounded time, the Linux suite once more with coverage
# counters (which must reach a floor), and two release builds of the tree that
# must give the same bytes. Run as root: the network tests make private network
# namespaces.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install_packages.sh ca-certificates g++ cmake ninja-build googletest libgtest-dev \
  libbenchmark-dev binutils iproute2 procps util-linux mingw-w64 wine wine64 clang libclang-rt-14-dev \
  unzip dpkg-dev file pkgconf lintian checksec clang-tools-14 clang-tidy-14 git bindgen gcovr

for preset in linux windows asan fuzz; do
  echo "=== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: test"
  ctest --preset "$preset"
  if [ "$preset" = windows ]; then
    echo "=== static analysis: clang-tidy"
    sh scripts/tidy.sh build/linux build/windows
  fi
done

echo "=== coverage"
sh scripts/coverage.sh

echo "=== release builds: reproducible"
sh tests/check_reproducible.sh
