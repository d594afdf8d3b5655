#!/bin/sh
# What a user takes: on Windows the package ZIP, elsewhere `cmake --install`
# and the Debian package. Each must hold the library, the reference host, the
# header, the CMake package, README and licence; every version it shows must
# be the project's; the packaged host must load the packaged library; and a
# host project must find both from wherever the package lies (find_package;
# pkg-config outside Windows): the example host the package holds, built that
# way, pings loopback. A cross build's programs run under its emulator, and
# the example is built with its toolchain file, finding the package by
# pingext_DIR, as any toolchain file lets it. Run inside a private network
# namespace (tests/in_private_netns.sh).
#   check_package.sh [--runner PROGRAM --toolchain FILE] BUILD_DIR VERSION
set -eu
runner= toolchain=
if [ "$1" = --runner ]; then runner=$2 toolchain=$4; shift 4; fi
build=$1 version=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The files of a prefix, the host and library in it, and the example built
# against it with find_package(pingext 2.0) alone, which needs both the
# package's config and version files; a component the package lacks fails,
# and so does a target that links the plugin. The documentation's links find
# their pages where they are installed, and bindings read the installed
# header.
check_prefix() {  # check_prefix WHAT ROOT LIBRARY EXTHOST DOCS FILE...
  what=$1 root=$2 library=$3 exthost=$4 docs=$5
  shift 5
  for file in "$library" "$exthost" "$root/include/pingext/host_interface.h" \
    "$root/include/pingext/extension/host_interface.h" "$docs/README.md" \
    "$docs/docs/host-guide.md" "$docs/examples/minimal_host.c" "$docs/examples/python_host.py" \
    "$docs/examples/luajit_host.lua" "$@"; do
    [ -f "$file" ] || fail "$what: missing ${file#"$root"/}"
  done
  for page in "$docs/README.md" "$docs"/docs/*.md; do
    for link in $(grep -oE '\]\([^)#]+' "$page" | cut -c3- | grep -v '^[a-z]*:'); do
      [ -f "$(dirname "$page")/$link" ] || fail "$what: ${page#"$docs"/} links $link, which is not there"
    done
  done
  cpp -P -DPINGEXT_DECLARATIONS_ONLY "$root/include/pingext/host_interface.h" >"$work/declarations.h"
  luajit -e "ffi = require('ffi'); ffi.cdef(io.open('$work/declarations.h'):read('*a'))
    assert(ffi.C.PINGEXT_GET_STRING_ARGUMENT_ENTRY == 6 and ffi.C.PINGEXT_HOST_SERVICES_MIN_COUNT == 9)
    assert(ffi.sizeof('PingextCountedString') == ffi.C.PINGEXT_ARGUMENT_BUFFER_SIZE)" ||
    fail "$what: LuaJIT's ffi.cdef does not take the header"
  python3 -c "import cffi; ffi = cffi.FFI(); ffi.cdef(open('$work/declarations.h').read())
lib = ffi.dlopen(None)
assert (lib.PINGEXT_SET_INTEGER_RESULT_ENTRY, lib.PINGEXT_HOST_SERVICES_MIN_COUNT) == (8, 9)
assert ffi.sizeof('PingextFunctionTableEntry') == 2 * ffi.sizeof('void*')" ||
    fail "$what: cffi does not take the header"
  shown=$($runner "$exthost" --version | tr -d '\r')
  [ "$shown" = "exthost $version" ] || fail "$what: exthost --version says '$shown'"
  functions=$($runner "$exthost" "$library" | tr -d '\r')
  [ "$functions" = ping ] || fail "$what: the packaged host lists '$functions'"
  answer=$($runner "$exthost" "$library" ping 127.0.0.1 | tr -d '\r')
  printf '%s' "$answer" | grep -qxE '[0-9]+' || fail "$what: the packaged host pinged '$answer'"

  example=$work/example-$(basename "$root")
  found_by="-DCMAKE_PREFIX_PATH=$root"
  [ -z "$toolchain" ] || found_by="-Dpingext_DIR=$(find "$root/lib" -path '*/cmake/pingext' -type d)"
  cmake -S "$docs/examples" -B "$example" -G Ninja -DCMAKE_BUILD_TYPE=Release "$found_by" \
    ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} >"$work/log" 2>&1 ||
    { cat "$work/log" >&2; fail "$what: find_package(pingext 2.0) failed"; }
  mkdir -p "$work/component"
  printf '%s\n' 'cmake_minimum_required(VERSION 3.25)' 'project(component LANGUAGES NONE)' \
    'find_package(pingext 2.0 CONFIG REQUIRED COMPONENTS nonexistent)' >"$work/component/CMakeLists.txt"
  ! cmake -S "$work/component" -B "$work/component/build" "$found_by" \
    ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} >/dev/null 2>&1 ||
    fail "$what: find_package accepted a component the package lacks"
  rm -rf "$work/component"
  mkdir -p "$work/linked"
  cp "$docs/examples/minimal_host.c" "$work/linked/"
  printf '%s\n' 'cmake_minimum_required(VERSION 3.25)' 'project(linked LANGUAGES C)' \
    'find_package(pingext 2.0 CONFIG REQUIRED)' 'add_executable(host minimal_host.c)' \
    'target_link_libraries(host PRIVATE pingext::pingext)' >"$work/linked/CMakeLists.txt"
  ! cmake -S "$work/linked" -B "$work/linked/build" "$found_by" \
    ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} >"$work/log" 2>&1 &&
    grep -q 'link pingext::headers' "$work/log" ||
    { cat "$work/log" >&2; fail "$what: linking the plugin is not stopped with what to link instead"; }
  rm -rf "$work/linked"
  cmake --build "$example" >"$work/log" 2>&1 || { cat "$work/log" >&2; fail "$what: the example does not build"; }
  # The example loads $<TARGET_FILE:pingext::pingext> unless told; Wine needs a drive letter.
  if [ -n "$windows" ]; then
    answer=$($runner "$example/minimal_host.exe" "Z:$library" | tr -d '\r')
  else
    answer=$($runner "$example/minimal_host" | tr -d '\r')
  fi
  printf '%s' "$answer" | grep -qxE 'ping 127\.0\.0\.1: [0-9]+ ms' ||
    fail "$what: the example built against the package printed '$answer'"
  echo "PASS: $what"
}

windows=
[ -f "$build/pingext.dll" ] && windows=1
if [ -n "$windows" ]; then
  cmake --build "$build" --target package >/dev/null
  set -- "$build/pingext-$version-win"*.zip
  zip=$1
  [ -f "$zip" ] || fail "no $zip"
  unzip -q "$zip" -d "$work"
  root=$work/$(basename "$zip" .zip)
  for binary in "$root/bin/pingext.dll" "$root/bin/exthost.exe"; do
    for field in FileVersion ProductVersion; do
      shown=$(strings -el "$binary" | grep -A1 -x "$field" | tail -n 1)
      [ "$shown" = "$version" ] || fail "$(basename "$binary") $field is '$shown', not $version"
    done
    strings -el "$binary" | grep -qx FileDescription || fail "$(basename "$binary") has no FileDescription"
  done
  check_prefix "the ZIP" "$root" "$root/bin/pingext.dll" "$root/bin/exthost.exe" "$root" \
    "$root/LICENSE"
  exit 0
fi

# pc_variable PKGCONFIG_DIR ARG...: what pkg-config answers for pingext, or nothing
pc_variable() { pc_at=$1 && shift && { PKG_CONFIG_PATH=$pc_at pkg-config "$@" pingext || true; }; }
# An install prefix, used where it was installed (pkg-config names it) and
# moved elsewhere (the CMake package follows).
cmake --install "$build" --prefix "$work/installed" >/dev/null
prefix=$work/installed
# The library lies in Debian's multiarch directory of the build's target.
module=$(find "$prefix/lib" -name libpingext.so)
triplet=$(basename "$(dirname "$(dirname "$module")")")
pc_dir=$prefix/lib/$triplet/pkgconfig
shown=$(pc_variable "$pc_dir" --variable=module)
[ "$shown" = "$module" ] || fail "pkg-config --variable=module says '$shown', not $module"
shown=$(pc_variable "$pc_dir" --modversion)
[ "$shown" = "$version" ] || fail "pkg-config --modversion says '$shown'"
# The example's include line, and the one of hosts built against 2.0 and 2.1.
printf '%s\n' '#include <extension/host_interface.h>' 'int main(void) { return PINGEXT_CALL_REFUSED; }' \
  >"$work/old_path.c"
for source in "$prefix/share/doc/pingext/examples/minimal_host.c" "$work/old_path.c"; do
  # shellcheck disable=SC2046
  cc -std=c99 -Wall -Wextra -Wpedantic -Werror $(pc_variable "$pc_dir" --cflags) \
    -c "$source" -o "$work/host.o" || fail "pkg-config --cflags do not build $(basename "$source")"
done
mv "$prefix" "$work/moved"
prefix=$work/moved
check_prefix "cmake --install, moved" "$prefix" "$prefix/lib/$triplet/pingext/libpingext.so" \
  "$prefix/bin/exthost" "$prefix/share/doc/pingext" "$prefix/share/doc/pingext/copyright"

# The Debian package, unpacked (nothing is installed on this machine).
cmake --build "$build" --target package >/dev/null
set -- "$build/pingext_${version}_"*.deb
deb=$1
[ -f "$deb" ] || fail "no $deb"
# Named for, and depending on, the build's target, not this machine.
architecture=$(dpkg-architecture -t "$triplet" -q DEB_HOST_ARCH 2>/dev/null)
[ "$(dpkg-deb -f "$deb" Architecture)" = "$architecture" ] && [ "$deb" = "$build/pingext_${version}_$architecture.deb" ] ||
  fail "$(basename "$deb") is for $(dpkg-deb -f "$deb" Architecture), not $architecture"
depends=$(dpkg-deb -f "$deb" Depends)
# The library needs the C library alone, and exthost the C++ runtime too.
printf '%s' "$depends" | grep -qE '(^|, )libc6 \(>= [0-9.]+\)' || fail "Depends is '$depends'"
dpkg-deb -x "$deb" "$work/deb"
root=$work/deb/usr
check_prefix "the Debian package" "$root" "$root/lib/$triplet/pingext/libpingext.so" \
  "$root/bin/exthost" "$root/share/doc/pingext" "$root/share/doc/pingext/copyright" \
  "$root/lib/$triplet/pkgconfig/pingext.pc"
shown=$(pc_variable "$root/lib/$triplet/pkgconfig" --variable=module)
[ "$shown" = "/usr/lib/$triplet/pingext/libpingext.so" ] || fail "the package's pingext.pc names '$shown'"
lintian --fail-on error "$deb" || fail "lintian reports errors in $(basename "$deb")"
echo "PASS: version $version in every package"
