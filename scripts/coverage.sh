#!/bin/sh
# Line and branch coverage of the library's own code (extension/, probe/,
# platform/) and of the reference host (host/), from the whole Linux suite
# run on a build with coverage counters (the coverage preset). Fails when the
# library's line coverage falls below FLOOR percent. Run as root, as the
# suite is: it makes private namespaces.
#   coverage.sh [FLOOR]
set -eu
cd "$(dirname "$0")/.."
floor=${1:-97}
sh scripts/install_packages.sh gcovr
cmake --preset coverage >/dev/null
cmake --build --preset coverage
build=$(pwd)/build/coverage
find "$build" -name '*.gcda' -delete

# Some tests run as nobody, who may not write beside the build's objects: every
# process writes its counters under one prefix that everyone may write in,
# and they go back beside the objects afterwards.
counters=$(mktemp -d)
trap 'rm -rf "$counters"' EXIT
chmod 1777 "$counters"
(umask 0 && GCOV_PREFIX=$counters ctest --preset coverage)
cp -r "$counters$build/." "$build/"

report() {  # report WHAT FILTER...
  what=$1
  shift
  echo "=== coverage of $what"
  # gcovr replaces its output file, so it must not be /dev/null.
  # shellcheck disable=SC2046
  gcovr --root . $(printf -- '--filter %s ' "$@") --exclude-unreachable-branches \
    --exclude-throw-branches --print-summary --output "$counters/report.txt" "$build"
}
report "the library's own code" 'extension/' 'probe/' 'platform/' | tee "$counters/library"
report "the reference host" 'host/'
lines=$(sed -n 's/^lines: \([0-9.]*\)%.*/\1/p' "$counters/library")
if awk -v lines="$lines" -v floor="$floor" 'BEGIN { exit !(lines < floor) }'; then
  echo "FAIL: the library's line coverage is $lines%, below $floor%" >&2
  exit 1
fi
echo "PASS: the library's line coverage is $lines% (at least $floor%)"
