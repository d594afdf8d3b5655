#!/bin/sh
# Runs a command in a new network and mount namespace that holds only
# loopback, so test traffic can reach nothing else.
#   in_private_netns.sh [--echo-off] [--raw] [--test-hosts] [--peer PROGRAM]
#                       [--monotonic-near-wrap]
#                       [--wine-prefix DIR --wine-loader LOADER [--wine-refuse-icmp SHIM]]
#                       -- COMMAND [ARG...]
# Every group may open ICMP datagram sockets, as most distributions allow.
# --echo-off      the kernel stops answering echo requests (IPv4 and IPv6)
# --raw           no group may open them, so root falls back to raw sockets
# --test-hosts    loopback also holds fd00::1 and fe80::1, interface 8 holds
#                 fe80::8, 2001:db8::/32 and 192.0.2.2 are unreachable, and a
#                 hosts file of the namespace's own (bind-mounted over
#                 /etc/hosts) names them: only6.pingext.test is fd00::1 alone,
#                 both.pingext.test is 127.0.0.1 and 2001:db8::1,
#                 dual.pingext.test is 192.0.2.1 (no route) and fd00::1,
#                 unreachable.pingext.test 192.0.2.2 and fd00::1,
#                 gone.pingext.test 192.0.2.3 and fd00::1, ll.pingext.test
#                 fe80::1 (no scope), and bücher.pingext.test (in UTF-8)
#                 127.0.0.1
# --peer          a scripted ICMP peer runs in the namespace for the command,
#                 answering 127.0.0.x and fd00::2 to fd00::20 (on loopback),
#                 and is its name server (127.0.0.53, bind-mounted over
#                 /etc/resolv.conf), tried once per lookup for one second
# --monotonic-near-wrap  the command runs in a time namespace of its own,
#                 whose monotonic clock is moved days from the wall clock, to
#                 where its 32-bit count of milliseconds wraps 1 to 2 s after
#                 the command starts
# --wine-prefix   Wine's server owns the sockets, so a server for DIR is
#                 started inside the namespace and stopped afterwards; where
#                 this machine cannot run Wine's LOADER (32-bit Wine without
#                 32-bit x86 support in the kernel), the test is skipped
# --wine-refuse-icmp  the server starts with SHIM preloaded, which refuses it
#                 ICMP sockets, as Windows refuses raw sockets to a user who is
#                 not an administrator; PINGEXT_ICMP_SOCKETS_REFUSED=1 says so
# Exits 77 (skipped) for a user who is not root, since making the namespaces
# needs root; as root, a machine that cannot make them fails the test, with
# unshare's own reason.
set -eu
if [ "${1:-}" != --inside ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "SKIPPED: making private namespaces needs root (unshare -mn); not run" >&2
    exit 77
  fi
  if ! refusal=$(unshare -mn true 2>&1); then
    echo "FAIL: as root, unshare -mn cannot make private namespaces here: $refusal" >&2
    exit 1
  fi
  exec unshare -mn "$0" --inside "$@"
fi
shift

echo_off=0
ping_groups="0 2147483647"
test_hosts=0
near_wrap=0
wine_prefix=
wine_loader=wine
wine_shim=
peer=
while [ $# -gt 0 ]; do
  case "$1" in
    --echo-off) echo_off=1; shift ;;
    --raw) ping_groups="1 0"; shift ;;
    --test-hosts) test_hosts=1; shift ;;
    --monotonic-near-wrap) near_wrap=1; shift ;;
    --wine-prefix) wine_prefix=$2; shift 2 ;;
    --wine-loader) wine_loader=$2; shift 2 ;;
    --wine-refuse-icmp) wine_shim=$2; shift 2 ;;
    --peer) peer=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "in_private_netns.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

if [ -n "$wine_prefix" ] && ! refusal=$("$wine_loader" --version 2>&1 >/dev/null); then
  echo "SKIPPED: this machine cannot run Wine's loader $wine_loader: $refusal" >&2
  exit 77
fi
ip link set lo up
hosts=
if [ "$test_hosts" = 1 ]; then
  ip -6 addr add fd00::1/128 dev lo nodad
  ip -6 addr add fe80::1/64 dev lo nodad
  ip link add pingext8 index 8 type veth peer name pingext9 index 9
  ip link set pingext8 up
  ip link set pingext9 up
  ip -6 addr add fe80::8/64 dev pingext8 nodad
  ip -6 route add unreachable 2001:db8::/32
  ip route add unreachable 192.0.2.2/32
  hosts=$(mktemp)
  trap 'rm -f "$hosts"' EXIT
  printf '%s\n' '127.0.0.1 localhost' '::1 localhost ip6-localhost ip6-loopback' \
    'fd00::1 only6.pingext.test' '127.0.0.1 both.pingext.test' '2001:db8::1 both.pingext.test' \
    '192.0.2.1 dual.pingext.test' 'fd00::1 dual.pingext.test' '192.0.2.2 unreachable.pingext.test' \
    'fd00::1 unreachable.pingext.test' '192.0.2.3 gone.pingext.test' 'fd00::1 gone.pingext.test' \
    'fe80::1 ll.pingext.test' "$(printf '127.0.0.1 b\303\274cher.pingext.test')" >"$hosts"
  chmod a+r "$hosts"
  mount --bind "$hosts" /etc/hosts
fi
sysctl -qw net.ipv4.icmp_echo_ignore_all="$echo_off"
sysctl -qw net.ipv6.icmp.echo_ignore_all="$echo_off"
sysctl -qw net.ipv4.ping_group_range="$ping_groups"
export PINGEXT_PRIVATE_NETNS=1
if [ -n "$peer" ]; then
  for n in $(seq 2 20); do ip -6 addr add "fd00::$n/128" dev lo nodad; done
  resolv=$(mktemp)
  printf '%s\n' 'nameserver 127.0.0.53' 'options timeout:1 attempts:1' >"$resolv"
  chmod a+r "$resolv"
  mount --bind "$resolv" /etc/resolv.conf
  ready=$(mktemp -u)
  "$peer" --ready "$ready" --lifetime 600 &
  peer_pid=$!
  trap 'kill "$peer_pid" 2>/dev/null; rm -f "$ready" "$resolv" ${hosts:+"$hosts"}' EXIT
  tries=0
  until [ -e "$ready" ]; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || { echo "in_private_netns.sh: the peer did not start" >&2; exit 1; }
    sleep 0.05
  done
fi
if [ -n "$wine_prefix" ]; then
  export WINEPREFIX="$wine_prefix" WINEDEBUG=-all
  # A server left from outside would own sockets in the wrong namespace.
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  # One server for the whole command saves a start for every Wine process. Its
  # helper services start with the first Wine process and inherit its output,
  # so that one must not hold the caller's pipes open.
  if [ -n "$wine_shim" ]; then
    export PINGEXT_ICMP_SOCKETS_REFUSED=1
    LD_PRELOAD="$wine_shim" wineserver -p
  else
    wineserver -p
  fi
  "$wine_loader" cmd /c exit </dev/null >/dev/null 2>&1 || true
  status=0
  "$@" || status=$?
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  exit "$status"
fi
if [ "$near_wrap" = 1 ]; then
  # Whole seconds that move the clock two wraps (99 days) on, and then to 1 to
  # 2 s short of the next. The uptime stands in for the monotonic clock.
  offset=$(awk '{ wrap = 4294967.296; printf "%d", 3 * wrap - 1 - $1 % wrap }' /proc/uptime)
  set -- unshare -T --monotonic "$offset" "$@"
fi
status=0
"$@" || status=$?
exit "$status"
