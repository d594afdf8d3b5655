#!/bin/sh
# The library must export exactly one name, ZDLL; a Windows DLL may import only
# KnownDLLs, which no planted file can replace: KERNEL32, WS2_32 and the C
# runtime (msvcrt).
#   check_exports.sh LIBRARY
set -eu
library=$1
fail() { echo "FAIL: $*" >&2; exit 1; }
case "$library" in
  *.dll)
    dump=$(x86_64-w64-mingw32-objdump -p "$library")
    exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
      sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p')
    imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
    echo "imports: $(echo $imports)"
    for dll in $imports; do
      case "$dll" in
        kernel32.dll | ws2_32.dll | msvcrt.dll) ;;
        *) fail "$library imports $dll" ;;
      esac
    done
    ;;
  *)
    exports=$(nm -D --defined-only "$library" | awk '{print $3}')
    ;;
esac
echo "exports: $(echo $exports)"
[ "$exports" = ZDLL ] || fail "$library must export exactly ZDLL"
echo "PASS: $library exports only ZDLL"
