#!/bin/sh
# An ordinary user on Linux: no raw sockets, so ICMP datagram sockets, which
# net.ipv4.ping_group_range allows or forbids. Runs as root inside a private
# network namespace with the kernel's echo answers off and the scripted peer
# running (tests/in_private_netns.sh --echo-off --peer), and drops to nobody
# for every call.
#   unprivileged_test.sh [--runner EMULATOR] EXTHOST LIBRARY LOOPBACK_TEST
set -u
runner=
if [ "${1:-}" = --runner ]; then runner=$2; shift 2; fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$1" "$2" "$3" "$work/"  # where nobody may read them
chmod -R a+rX "$work"
exthost=$work/$(basename "$1") library=$work/$(basename "$2") loopback_test=$work/$(basename "$3")

as_nobody() {
  setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all --bounding-set=-all "$@"
}
now_ms() { date +%s%3N; }

passed=0 failed=0
record() {  # record STATUS FAILURE_MESSAGE
  if [ "$1" = 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $2" >&2; fi
}
check() {  # check NAME RESULT_PATTERN MIN_MS MAX_MS TARGET
  name=$1 pattern=$2 min=$3 max=$4 target=$5
  started=$(now_ms)
  result=$(as_nobody $runner "$exthost" "$library" ping "$target" 2>&1)
  took=$(($(now_ms) - started))
  printf '%s' "$result" | grep -qxE -- "$pattern" && [ "$took" -ge "$min" ] && [ "$took" -le "$max" ]
  record $? "$name: ping $target gave '$result' in $took ms (want $pattern in $min..$max ms)"
}

sysctl -qw net.ipv4.ping_group_range="0 2147483647"
sysctl -qw net.ipv4.icmp_echo_ignore_all=0 net.ipv6.icmp.echo_ignore_all=0
# Loose bounds: a busy machine makes calls slower, never faster. A silent
# target must not give up before the second; an error ends the call clearly
# before it.
check "group range open: loopback answers" '[0-9]+' 0 500 127.0.0.1
check "group range open: a name answers" '[0-9]+' 0 500 localhost
check "group range open: IPv6 loopback answers" '[0-9]+' 0 500 ::1
check "group range open: an IPv6-only name answers" '[0-9]+' 0 500 only6.pingext.test
sysctl -qw net.ipv4.icmp_echo_ignore_all=1 net.ipv6.icmp.echo_ignore_all=1
check "group range open: silent target" '-1' 999 1400 127.0.0.1
check "group range open: silent IPv6 target" '-1' 999 1400 ::1
check "group range open: error quoting our request" '-1' 0 500 127.0.0.6

# Every scripted misbehaviour, through the datagram socket.
as_nobody env PINGEXT_PRIVATE_NETNS=1 PINGEXT_LIBRARY="$library" $runner "$loopback_test" \
  --gtest_filter='Faults*' --gtest_brief=1
record $? "the scripted faults, as nobody"

sysctl -qw net.ipv4.ping_group_range="1 0"
sysctl -qw net.ipv4.icmp_echo_ignore_all=0 net.ipv6.icmp.echo_ignore_all=0
check "group range closed: fails at once" '-1' 0 500 127.0.0.1

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
