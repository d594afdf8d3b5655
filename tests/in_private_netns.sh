#!/bin/sh
# Runs a command in a new network namespace that holds only loopback, so test
# traffic can reach nothing else.
#   in_private_netns.sh [--echo-off] [--raw] [--peer PROGRAM] [--wine-prefix DIR] -- COMMAND [ARG...]
# Every group may open ICMP datagram sockets, as most distributions allow.
# --echo-off      the kernel stops answering echo requests in the namespace
# --raw           no group may open them, so root falls back to raw sockets
# --peer          a scripted ICMP peer runs in the namespace for the command
# --wine-prefix   Wine's server owns the sockets, so a server for DIR is
#                 started inside the namespace and stopped afterwards
# Exits 77 (skipped) when it cannot make a namespace, which needs root.
set -eu
if [ "${1:-}" != --inside ]; then
  if [ "$(id -u)" != 0 ] || ! unshare -n true 2>/dev/null; then
    echo "SKIPPED: making a private network namespace needs root (unshare -n); not run" >&2
    exit 77
  fi
  exec unshare -n "$0" --inside "$@"
fi
shift

echo_off=0
ping_groups="0 2147483647"
wine_prefix=
peer=
while [ $# -gt 0 ]; do
  case "$1" in
    --echo-off) echo_off=1; shift ;;
    --raw) ping_groups="1 0"; shift ;;
    --wine-prefix) wine_prefix=$2; shift 2 ;;
    --peer) peer=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "in_private_netns.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

ip link set lo up
sysctl -qw net.ipv4.icmp_echo_ignore_all="$echo_off"
sysctl -qw net.ipv4.ping_group_range="$ping_groups"
export PINGEXT_PRIVATE_NETNS=1
if [ -n "$peer" ]; then
  ready=$(mktemp -u)
  "$peer" --ready "$ready" --lifetime 600 &
  peer_pid=$!
  trap 'kill "$peer_pid" 2>/dev/null; rm -f "$ready"' EXIT
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
  wineserver -p
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  status=0
  "$@" || status=$?
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  exit "$status"
fi
status=0
"$@" || status=$?
exit "$status"
