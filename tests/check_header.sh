#!/bin/sh
# The public header compiles, every warning an error, as C99 to C2x and as
# C++98 to C++20 under each compiler named, and declares the project's
# version: alone, and beside the system
# headers a network host includes (after and before <winsock2.h>,
# <windows.h>, <iphlpapi.h> and <ras.h> for a compiler targeting Windows,
# after the usual POSIX ones otherwise); in MSVC mode (clang-cl) as C and as
# C++, 64-bit and 32-bit; and bindgen keeps every constant, with its type.
# On 32-bit x86 the contract's functions stay cdecl, as the library's are,
# in a host whose compiler defaults to stdcall (GCC -mrtd, MSVC /Gz).
#   check_header.sh SOURCE_DIR VERSION COMPILER...
set -u
source=$1 version=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ours='#include "extension/host_interface.h"'
printf '%s\n' "$ours" >"$work/alone.c"
# Each pointer type takes a cdecl function only where it is cdecl itself.
printf '%s\n' "$ours" '#ifdef _MSC_VER' '#define CDECL __cdecl' '#else' \
  '#define CDECL __attribute__((__cdecl__))' '#endif' \
  'static const PingextFunctionTableEntry* CDECL zdll(void) { return 0; }' \
  'static int32_t CDECL listed(const PingextHostService* s, PingextResultSlot r, int32_t n,' \
  '                            const PingextArgumentHandle* a) { return s || r || n || a; }' \
  'static void CDECL get(PingextArgumentHandle a, PingextCountedString* t) { (void)a; (void)t; }' \
  'static void CDECL set(int32_t v, PingextResultSlot r) { (void)v; (void)r; }' \
  'static void CDECL service(void) {}' \
  'PingextZdllFunction z = zdll;' 'PingextExtensionFunction l = listed;' \
  'PingextGetStringArgument g = get;' 'PingextSetIntegerResult t = set;' \
  'PingextHostService h = service;' >"$work/convention.c"
windows='#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <ras.h>'
printf '%s\n' "$windows" "$ours" >"$work/after-windows.c"
printf '%s\n' "$ours" "$windows" >"$work/before-windows.c"
printf '%s\n' '#include <sys/socket.h>' '#include <netinet/in.h>' '#include <arpa/inet.h>' \
  '#include <netdb.h>' '#include <dlfcn.h>' '#include <pthread.h>' '#include <unistd.h>' \
  "$ours" >"$work/after-posix.c"

passed=0 failed=0
try() {  # try WHAT COMMAND...
  what=$1
  shift
  if output=$("$@" 2>&1); then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $what" >&2
    printf '%s\n' "$output" | head -n 20 | sed 's/^/    /' >&2
  fi
}
compile() {  # compile COMPILER STANDARD FILE [-Wpedantic]
  case $2 in c++*) language=c++ ;; *) language=c ;; esac
  # shellcheck disable=SC2086
  try "$1 -std=$2 $(basename "$3" .c)" $1 -x $language -std="$2" -fsyntax-only \
    -Wall -Wextra ${4:-} -Werror -I"$source" "$3"
}

for compiler in "$@"; do
  # shellcheck disable=SC2086
  if $compiler -dM -E -x c /dev/null | grep -q '_WIN32'; then
    beside="after-windows before-windows"
  else
    beside=after-posix
  fi
  for standard in c99 c11 c17 c2x c++98 c++03 c++11 c++14 c++17 c++20; do
    compile "$compiler" "$standard" "$work/alone.c" -Wpedantic
  done
  for standard in c99 c17 c++98 c++20; do
    for file in $beside; do compile "$compiler" "$standard" "$work/$file.c"; done
  done
  # shellcheck disable=SC2086
  if $compiler -dM -E -x c /dev/null | grep -q '__i386__'; then
    compile "$compiler" c99 "$work/convention.c" -mrtd
    compile "$compiler" c++11 "$work/convention.c" -mrtd
  fi
done
# The version macros say what project() says, and the number is made of them.
macros=$($1 -E -dM -x c -I"$source" "$work/alone.c")
macro() { printf '%s\n' "$macros" | sed -n "s/^#define PINGEXT_VERSION_$1 //p"; }
major=${version%%.*} rest=${version#*.}
minor=${rest%%.*} patch=${rest#*.}
try "version macros say $version" test "$(macro MAJOR).$(macro MINOR).$(macro PATCH)" = "$version"
try "version number of $version" test "$(macro NUMBER)" = $((major * 1000000 + minor * 1000 + patch))
for target in x86_64-pc-windows-msvc i686-pc-windows-msvc; do
  for language in /TC /TP; do
    try "clang-cl $language $target" clang-cl-14 /nologo /Zs /W4 /WX "$language" \
      --target="$target" -I"$source" "$work/alone.c"
  done
done
for language in /TC /TP; do
  try "clang-cl $language /Gz: cdecl kept" clang-cl-14 /nologo /Zs /W4 /WX /Gz "$language" \
    --target=i686-pc-windows-msvc -I"$source" "$work/convention.c"
done
# What a Rust binding generated from the header holds: each constant, the
# call codes signed, as the int32_t a function returns.
# Without rustfmt bindgen leaves its output unformatted, so spaces are dropped.
try "bindgen runs" bindgen "$source/extension/host_interface.h" --allowlist-var 'PINGEXT_.*' \
  -o "$work/bindings.rs"
tr -d ' \n' <"$work/bindings.rs" >"$work/bindings.flat"
for line in 'PINGEXT_ARGUMENT_BUFFER_SIZE:_bindgen_ty_1=32784;' \
  'PINGEXT_ARGUMENT_TEXT_CAPACITY:_bindgen_ty_1=32782;' 'PINGEXT_HOST_SERVICES_MIN_COUNT:_bindgen_ty_1=9;' \
  'PINGEXT_GET_STRING_ARGUMENT_ENTRY:_bindgen_ty_1=6;' 'PINGEXT_SET_INTEGER_RESULT_ENTRY:_bindgen_ty_1=8;' \
  'pubtype_bindgen_ty_1=::std::os::raw::c_uint;' 'PINGEXT_VERSION_NUMBER:u32=[0-9]+;' \
  'PINGEXT_CALL_CARRIED_OUT:_bindgen_ty_2=0;' 'PINGEXT_CALL_REFUSED:_bindgen_ty_2=1;' \
  'PINGEXT_PING_FAILED:_bindgen_ty_2=-1;' 'pubtype_bindgen_ty_2=::std::os::raw::c_int;'; do
  try "bindgen: $line" grep -qE "$line" "$work/bindings.flat"
done

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
