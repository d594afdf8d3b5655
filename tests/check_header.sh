#!/bin/sh
# The public header compiles alone, every warning an error, as C99, C11, C17
# and C2x and as C++11 to C++20 under each compiler named, and in MSVC mode
# (clang-cl) as C and as C++, 64-bit and 32-bit.
#   check_header.sh SOURCE_DIR COMPILER...
set -u
source=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '#include "extension/host_interface.h"\n' >"$work/alone.c"

passed=0 failed=0
try() {  # try WHAT COMMAND...
  what=$1
  shift
  if output=$("$@" 2>&1); then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $what" >&2
    printf '%s\n' "$output" | sed 's/^/    /' >&2
  fi
}

for compiler in "$@"; do
  for standard in c99 c11 c17 c2x c++11 c++14 c++17 c++20; do
    case $standard in c++*) language=c++ ;; *) language=c ;; esac
    # shellcheck disable=SC2086
    try "$compiler -std=$standard" $compiler -x $language -std=$standard -fsyntax-only \
      -Wall -Wextra -Wpedantic -Werror -I"$source" "$work/alone.c"
  done
done
for target in x86_64-pc-windows-msvc i686-pc-windows-msvc; do
  for language in /TC /TP; do
    try "clang-cl $language $target" clang-cl-14 /nologo /Zs /W4 /WX "$language" \
      --target="$target" -I"$source" "$work/alone.c"
  done
done

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
