#!/bin/sh
# Writes the .def file of a stand-in DLL: the names given are its own, and
# every other export of DLL is forwarded to TARGET (a copy of DLL under that
# name), so whatever else calls into the stand-in still works.
#   forward_exports.sh DLL TARGET OWN_NAME...
set -eu
dll=$1 target=$2
shift 2
echo "LIBRARY $(basename "$dll")"
echo EXPORTS
printf '  %s\n' "$@"
x86_64-w64-mingw32-objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | while read -r name; do
    for own in "$@"; do [ "$name" = "$own" ] && continue 2; done
    echo "  $name = $target.$name"
  done
