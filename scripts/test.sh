#!/bin/sh
# Sets up and runs every test: the Linux build natively, the Windows builds
# (x64 and x86) under Wine, the arm64 and i386 Linux builds under qemu-user,
# clang-tidy over the Linux and x64 Windows builds, the Linux build again under
# AddressSanitizer and UndefinedBehaviorSanitizer,
# each fuzz target for a bounded time, the Linux suite once more with coverage
# counters (which must reach a floor), and two release builds of the tree that
# must give the same bytes. Run as root: the network tests make private network
# namespaces.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install_packages.sh ca-certificates g++ cmake ninja-build googletest libgtest-dev \
  libbenchmark-dev binutils iproute2 procps util-linux mingw-w64 wine wine64 clang libclang-rt-14-dev \
  unzip dpkg-dev file pkgconf lintian checksec clang-tools-14 clang-tidy-14 git bindgen gcovr \
  wine32:i386 g++-aarch64-linux-gnu g++-i686-linux-gnu qemu-user-static \
  libc6:arm64 libstdc++6:arm64 libc6:i386 libstdc++6:i386 luajit python3 python3-cffi

started=$(date +%s)
for preset in linux windows windows-x86 linux-arm64 linux-i386 asan fuzz; do
  echo "=== $preset: build (at $(($(date +%s) - started)) s)"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: test (at $(($(date +%s) - started)) s)"
  ctest --preset "$preset"
  if [ "$preset" = windows ]; then
    echo "=== static analysis: clang-tidy"
    sh scripts/tidy.sh build/linux build/windows
  fi
done

echo "=== coverage (at $(($(date +%s) - started)) s)"
sh scripts/coverage.sh

echo "=== release builds: reproducible (at $(($(date +%s) - started)) s)"
sh tests/check_reproducible.sh
