#!/bin/sh
# What a security review reads off the binaries. The library must export
# exactly one name, ZDLL, undecorated; on Linux it needs the C library alone
# (and, where the stack protector's guard lives there, as on aarch64, the C
# library's dynamic loader), so a C host loads no C++ runtime with it; a
# Windows DLL may import only KnownDLLs, which no planted file can replace:
# KERNEL32, WS2_32, the C runtime (msvcrt) and ADVAPI32, which seeds the stack
# protector's guard. The library and the reference host are hardened: on
# Linux full RELRO, a stack canary and NX (checksec), and FORTIFY where a
# copy's size is not known to the compiler (both have such copies); on Windows
# ASLR (with high entropy on 64-bit images), DEP and the stack protector.
#   [NM=... OBJDUMP=...] check_exports.sh [--fortified] [--sanitized] LIBRARY EXTHOST
# (NM, OBJDUMP: the target's tools; --fortified: an optimised build;
# --sanitized: one that needs the sanitizers' runtimes, so its needs are not
# the shipped library's)
set -eu
fortified= sanitized=
if [ "$1" = --fortified ]; then fortified=1; shift; fi
if [ "$1" = --sanitized ]; then sanitized=1; shift; fi
library=$1 exthost=$2
nm=${NM:-nm} objdump=${OBJDUMP:-objdump}
fail() { echo "FAIL: $*" >&2; exit 1; }
case "$library" in
  *.dll)
    dump=$("$objdump" -p "$library")
    exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
      sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p')
    imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
    echo "imports: $(echo $imports)"
    for dll in $imports; do
      case "$dll" in
        kernel32.dll | ws2_32.dll | advapi32.dll | msvcrt.dll) ;;
        *) fail "$library imports $dll" ;;
      esac
    done
    required="DYNAMIC_BASE NX_COMPAT"
    printf '%s\n' "$dump" | grep -q '^Magic.*PE32+' && required="$required HIGH_ENTROPY_VA"
    for binary in "$library" "$exthost"; do
      flags=$("$objdump" -p "$binary" | sed -n '/^DllCharacteristics/,/^SizeOf/p')
      for flag in $required; do
        printf '%s' "$flags" | grep -qw "$flag" || fail "$binary lacks $flag"
      done
      # 32-bit symbols carry a leading underscore.
      "$nm" "$binary" | grep -qE '[[:space:]]_?__stack_chk_fail$' ||
        fail "$binary has no stack protector"
    done
    ;;
  *)
    exports=$("$nm" -D --defined-only "$library" | awk '{print $3}')
    needed=$(readelf -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    echo "needed: $(echo $needed)"
    for name in $needed; do
      case "$name" in
        libc.so.6 | ld-linux*.so.*) ;;
        *) [ -n "$sanitized" ] || fail "$library needs $name, not the C library alone" ;;
      esac
    done
    for binary in "$library" "$exthost"; do
      # RELRO, canary, NX, PIE, RPATH, RUNPATH, symbols, FORTIFY, ...
      report=$(checksec --output=csv --file="$binary")
      echo "checksec: $report"
      printf '%s' "$report" | grep -q '^Full RELRO,Canary found,NX enabled,' ||
        fail "$binary is not hardened"
      [ -z "$fortified" ] || printf '%s' "$report" | cut -d, -f8 | grep -qx Yes ||
        fail "$binary is not built with FORTIFY"
    done
    ;;
esac
echo "exports: $(echo $exports)"
[ "$exports" = ZDLL ] || fail "$library must export exactly ZDLL"
echo "PASS: $library exports only ZDLL; both binaries are hardened"
