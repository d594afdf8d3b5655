#!/bin/sh
# What a user takes: on Windows the package ZIP, elsewhere `cmake --install`.
# It must hold the library, the reference host, the header, README and
# LICENSE; every version it shows must be the project's; and the packaged
# host must load the packaged library.
#   check_package.sh [--runner PROGRAM] BUILD_DIR VERSION
set -eu
runner=
if [ "$1" = --runner ]; then runner=$2; shift 2; fi
build=$1 version=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ -n "$runner" ]; then
  cmake --build "$build" --target package >/dev/null
  zip=$build/pingext-$version-win64.zip
  [ -f "$zip" ] || fail "no $zip"
  unzip -q "$zip" -d "$work"
  root=$work/pingext-$version-win64
  library=$root/bin/pingext.dll exthost=$root/bin/exthost.exe
  for binary in "$library" "$exthost"; do
    for field in FileVersion ProductVersion; do
      shown=$(strings -el "$binary" | grep -A1 -x "$field" | tail -n 1)
      [ "$shown" = "$version" ] || fail "$(basename "$binary") $field is '$shown', not $version"
    done
    strings -el "$binary" | grep -qx FileDescription || fail "$(basename "$binary") has no FileDescription"
  done
else
  cmake --install "$build" --prefix "$work" >/dev/null
  root=$work library=$work/lib/libpingext.so exthost=$work/bin/exthost
  root_docs=$work/share/doc/pingext
fi
for file in "$library" "$exthost" "$root/include/pingext/extension/host_interface.h" \
  "${root_docs:-$root}/README.md" "${root_docs:-$root}/LICENSE"; do
  [ -f "$file" ] || fail "missing ${file#"$work"/}"
done
shown=$($runner "$exthost" --version | tr -d '\r')
[ "$shown" = "exthost $version" ] || fail "exthost --version says '$shown', not 'exthost $version'"
functions=$($runner "$exthost" "$library" | tr -d '\r')
[ "$functions" = ping ] || fail "the packaged host lists '$functions' in the packaged library"
echo "PASS: version $version, all files, and the packaged host loads the packaged library"
