#!/bin/sh
# Writes the .def file of a stand-in DLL: the names given are its own, and
# every other export of DLL is forwarded to TARGET (a copy of DLL under that
# name), so whatever else calls into the stand-in still works.
#   forward_exports.sh OBJDUMP DLL TARGET OWN_NAME...
set -eu
objdump=$1 dll=$2 target=$3
shift 3
echo "LIBRARY $(basename "$dll")"
echo EXPORTS
printf '  %s\n' "$@"
"$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | while read -r name; do
    for own in "$@"; do [ "$name" = "$own" ] && continue 2; done
    echo "  $name = $target.$name"
  done
