#!/bin/sh
# The same commit, built in two folders of different names at different
# times, gives the same release bytes: libpingext.so, exthost and the Debian
# package (linux-release), and the ZIPs with the DLL and exthost.exe they hold
# (windows-release, windows-x86-release). The first copy is the working tree with its history, as
# a clone; the second is what `git archive` exports, with no repository, so
# its dates come from the exported commit time. With uncommitted changes
# there is no such commit, and the second copy is a clone too.
#   check_reproducible.sh
set -eu
cd "$(dirname "$0")/.."
unset SOURCE_DATE_EPOCH
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
first=$work/pingext
second=$work/elsewhere/another-name
for copy in "$first" "$second"; do
  mkdir -p "$copy"
  if [ "$copy" = "$second" ] && [ -z "$(git status --porcelain)" ]; then
    git archive HEAD | tar -x -C "$copy"
  else
    { git ls-files -co --exclude-standard -z; printf '.git\0'; } | xargs -0 cp -a --parents -t "$copy"
  fi
done
[ -d "$second/.git" ] && echo "uncommitted changes: the second copy is a clone, not an export"
find "$second" -exec touch -h -d '2001-02-03 04:05:06' {} +

build() {  # build COPY
  (cd "$1" && for preset in linux-release windows-release windows-x86-release; do
    cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" --target package >/dev/null
  done) || { echo "FAIL: the release build in $1 failed" >&2; exit 1; }
}
build "$first"
sleep 1  # a time stamp anywhere would now differ
build "$second"

failed=0
for file in linux-release/libpingext.so linux-release/exthost linux-release/pingext_*_amd64.deb \
  windows-release/pingext-*-win64.zip windows-x86-release/pingext-*-win32.zip; do
  a=$(echo "$first"/build/$file) b=$(echo "$second"/build/$file)
  if cmp -s "$a" "$b"; then
    echo "same: $file ($(sha256sum <"$a" | cut -c1-16))"
    continue
  fi
  failed=1
  echo "FAIL: $file differs between the two builds" >&2
  case $file in
    *.zip)
      unzip -q "$a" -d "$work/zip-a" && unzip -q "$b" -d "$work/zip-b"
      diff -r "$work/zip-a" "$work/zip-b" >&2 || true
      ;;
  esac
done
[ "$failed" = 0 ] && echo "PASS: the release builds of two copies are bit-identical"
