#!/bin/sh
# The reference host as a user meets it: each row is an exit code, a text the
# output must hold, and the command's arguments. Run inside a private network
# namespace (tests/in_private_netns.sh), since some rows ping loopback.
# With --planted (Windows), a hostile iphlpapi.dll is put beside a copy of
# the host program, and the pings through it must not load it.
#   exthost_cli_test.sh [--runner PROGRAM [--planted DLL]] EXTHOST LIBRARY NO_ENTRY_LIBRARY
#                       MISBEHAVING_LIBRARY NULL_TABLE_LIBRARY UNRESOLVED_LIBRARY
set -u
runner= planted=
if [ "${1:-}" = --runner ]; then runner=$2; shift 2; fi
if [ "${1:-}" = --planted ]; then planted=$2; shift 2; fi
exthost=$1 library=$2 no_entry=$3 misbehaving=$4 null_table=$5 unresolved=$6
case "$library" in *.dll) windows=1 ;; *) windows= ;; esac
long_name=$(head -c 32782 /dev/zero | tr '\0' a)
too_long=${long_name}a

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0 failed=0
interrupt_after=
check() {  # check EXIT_CODE EXPECTED_TEXT ARG...; interrupt_after="SECONDS...": a Ctrl-C after each
  expected_code=$1 expected_text=$2
  shift 2
  if [ -n "$interrupt_after" ]; then
    $runner "$exthost" "$@" >"$work/output" 2>&1 &
    pid=$!
    for seconds in $interrupt_after; do
      sleep "$seconds"
      kill -INT $pid 2>/dev/null
    done
    # What is not over 3 s after the last Ctrl-C is stopped, and fails.
    (sleep 3 && kill -KILL $pid 2>/dev/null) >/dev/null 2>&1 &
    watchdog=$!
    wait $pid
    code=$?
    kill $watchdog 2>/dev/null
    output=$(cat "$work/output")
  else
    output=$($runner "$exthost" "$@" 2>&1)
    code=$?
  fi
  output=$(printf '%s' "$output" | tr -d '\r')  # Windows programs end lines with CR LF
  shown=$(printf '%s' "$*" | cut -c1-60)
  if [ "$code" = "$expected_code" ] && printf '%s' "$output" | grep -qE -- "$expected_text"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: exthost $shown: exit $code (want $expected_code), output:" >&2
    printf '%s\n' "$output" | cut -c1-200 | sed 's/^/    /' >&2
    echo "    (want text matching: $expected_text)" >&2
  fi
}

check 2 'usage: exthost'
check 0 '^usage: exthost' -h
check 0 '^usage: exthost' --help
check 0 '^exthost [0-9]+\.[0-9]+\.[0-9]+$' --version
check 0 '^ping$' -- "$library"
check 2 'texts given, but no function' "$library" '' 127.0.0.1
check 2 'unknown option' --frobnicate "$library"
# Counts and intervals are digits alone, apart or after '='.
for value in 2x 3ms +2 -1 ' 2' 99999999999999999999 ''; do
  check 2 'needs a whole number' --repeat "$value" "$library" ping 127.0.0.1
done
check 2 'needs a count of 1 or more' --repeat 0 "$library" ping 127.0.0.1
check 0 '2 sent, 2 answered' --repeat=2 --interval=0 "$library" ping 127.0.0.1
check 2 'needs a whole number' --interval= "$library" ping 127.0.0.1
for value in 10ms +10 -5 1e3 99999999999999999999; do
  check 2 'needs a whole number' --interval "$value" "$library" ping 127.0.0.1
done
check 3 'no such file: .*absent' ./absent-library
check 3 'the library comes first' ping 127.0.0.1
# Bound at load: a library that calls what nothing provides is refused there.
check 4 'not a loadable library' "$unresolved"
check 4 'not a loadable library' "$unresolved" call
check 4 'not a loadable library' "$0"
check 5 'has no ZDLL entry point' "$no_entry"
check 0 '^ping$' "$library"
check 6 'no function "pong" .*it offers: ping' "$library" pong
check 1 'refused the call with 0 argument' "$library" ping
check 1 'refused the call with 2 argument' "$library" ping 127.0.0.1 127.0.0.2
check 8 'called host service 3' "$misbehaving" touch
check 8 'without setting a result' "$misbehaving" forgetful
check 8 'row 4 of the function table has a function and no name$' "$misbehaving"
check 8 'row 4 of the function table has a function and no name$' "$misbehaving" absent
check 8 'ZDLL returned no function table' "$null_table"
check 8 'ZDLL returned no function table' "$null_table" ping 127.0.0.1
check 0 '4 sent, 3 answered, 25% lost, min/avg/max = 3/5.7/9 ms' \
  --repeat 4 --interval 0 "$misbehaving" sequence
check 0 '^[0-9]+$' "$library" ping 127.0.0.1
check 0 '^-1$' "$library" ping no-such-host.invalid
check 0 '3 sent, 3 answered, 0% lost, min/avg/max = [0-9]+/[0-9.]+/[0-9]+ ms' \
  --repeat 3 --interval 10 "$library" ping 127.0.0.1
check 0 '2 sent, 0 answered, 100% lost' --repeat 2 --interval 0 "$library" ping no-such-host.invalid
interrupt_after=1
check 0 '^--- ping 127.0.0.1: [1-9] sent, [1-9] answered, 0% lost' \
  --repeat 100 --interval 200 "$library" ping 127.0.0.1
# Ctrl-C cuts a long pause short.
check 0 '^--- ping 127.0.0.1: 1 sent, 1 answered, 0% lost' \
  --repeat 2 --interval 100000 "$library" ping 127.0.0.1
interrupt_after=
# A library named bare, in the current folder.
copy=$work/bare
mkdir "$copy"
cp "$library" "$copy/"
(cd "$copy" && $runner "$exthost" "$(basename "$library")" >"$work/output" 2>&1)
if [ "$(tr -d '\r' <"$work/output")" = ping ]; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAIL: exthost $(basename "$library"), in its folder: $(cat "$work/output")" >&2
fi
if [ -z "$windows" ]; then
  check 4 'not a loadable library: /dev/null' /dev/null
  # What cannot be written is an error, not a success.
  for arguments in "--version" "$library" "$library ping 127.0.0.1"; do
    # shellcheck disable=SC2086
    $runner "$exthost" $arguments >/dev/full 2>"$work/error"
    code=$?
    if [ "$code" = 10 ] && grep -q 'cannot write the output' "$work/error"; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
      echo "FAIL: exthost $arguments >/dev/full: exit $code, $(cat "$work/error")" >&2
    fi
  done
  # A second Ctrl-C during a call that waits out its second ends the process
  # at once, killed by the signal, with no summary.
  sysctl -qw net.ipv4.icmp_echo_ignore_all=1
  interrupt_after='1.3 0.2'
  check 130 '^-1$' --repeat 3 --interval 0 "$library" ping 127.0.0.1
  interrupt_after=
  sysctl -qw net.ipv4.icmp_echo_ignore_all=0
  check 0 '^-1$' "$library" ping "$long_name"
  check 7 'argument 1 is 32783 bytes; at most 32782 fit' "$library" ping "$too_long"
else
  echo "not run here: a text over 32,782 bytes, since a Windows command line holds at most 32,767"
fi

if [ -n "$planted" ]; then
  # Windows searches the host program's folder first for a DLL outside
  # KnownDLLs, as Wine does when told to prefer a native one.
  plant=$work/planted
  mkdir "$plant"
  cp "$exthost" "$library" "$plant/"
  cp "$planted" "$plant/iphlpapi.dll"
  export WINEDLLOVERRIDES=iphlpapi=n,b PINGEXT_PLANTED_MARK="$plant/mark"
  real_exthost=$exthost exthost=$plant/$(basename "$exthost")
  # Not the plant's 65000. An administrator's IPv6 call, and another user's
  # IPv4 one, need the helper.
  check 0 '^[0-9]{1,3}$' "$plant/$(basename "$library")" ping 127.0.0.1
  check 0 '^[0-9]{1,3}$' "$plant/$(basename "$library")" ping ::1
  exthost=$real_exthost
  unset WINEDLLOVERRIDES PINGEXT_PLANTED_MARK
  if [ -e "$plant/mark" ]; then
    failed=$((failed + 1))
    echo "FAIL: the iphlpapi.dll planted beside the host program was loaded" >&2
  else
    passed=$((passed + 1))
  fi
fi

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
