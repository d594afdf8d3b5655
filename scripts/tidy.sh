#!/bin/sh
# clang-tidy over the library's own code and the reference host, as each
# build compiles them (.clang-tidy says which checks, and why): the Linux
# sources from the linux preset, the Windows ones from the windows preset,
# read as mingw-w64 reads them. Fails on any finding.
#   tidy.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR
set -eu
cd "$(dirname "$0")/.."
linux=$1 windows=$2
common="extension/ping_function.cpp probe/echo_message.cpp probe/ping_host.cpp host/exthost.cpp
  host/host_services.cpp host/library_loader.cpp"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Findings go to standard output; clang-tidy's count of what it hid in
# system headers, to standard error, is dropped unless it fails.
tidy() {
  clang-tidy-14 --quiet "$@" 2>"$work/log" || { grep -v 'warnings generated' "$work/log" >&2; exit 1; }
}
# shellcheck disable=SC2086
tidy -p "$linux" $common platform/linux/echo_exchange_linux.cpp

# clang reads the cross build's commands with mingw-w64's C++ headers (not
# GCC's own, whose intrinsics clang has built in) and without GCC's own flags.
sed 's/ -fno-keep-inline-dllexport//g' "$windows/compile_commands.json" >"$work/compile_commands.json"
cxx=x86_64-w64-mingw32-g++-posix
headers=$(echo | $cxx -std=c++20 -E -x c++ - -v 2>&1 |
  sed -n '/search starts here:/,/End of search list/s/^ //p' | grep -v -e '/include$' -e 'include-fixed')
headers="$headers $(echo | $cxx -E -x c++ - -v 2>&1 | sed -n 's/^ \(.*mingw32\/include\)$/\1/p')"
set --
for directory in $headers; do set -- "$@" --extra-arg=-isystem"$directory"; done
# shellcheck disable=SC2086
tidy -p "$work" --extra-arg=--target=x86_64-w64-mingw32 --extra-arg=-nostdinc++ \
  "$@" $common platform/windows/echo_exchange_windows.cpp extension/dll_main_windows.cpp
echo "PASS: clang-tidy finds nothing in the library or the reference host, on either build"
