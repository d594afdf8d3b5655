#!/bin/sh
# The least thread stack on which one call of ping works, on each path: an
# address literal, a name from the hosts file, a name that resolves nowhere,
# a name answered by a DNS server on loopback, and a .local name looked up
# with a desktop's name-service modules (nss-mdns, whose own frame is 66 KB). Each size is tried in a
# process of its own (bench/stack_need.cpp), on a thread of that size; a
# binary search finds the least that returns the same outcome as a 1 MB stack,
# to 1 KB. Linux natively; with --windows, the DLL under Wine (where the
# system's lookup runs on Wine's own stack, so only the DLL's need shows).
# Run as root: it makes a private network and mount namespace, and installs
# dnsmasq for the DNS server. nss-mdns is fetched, not installed (installing
# it would change this machine's /etc/nsswitch.conf): the namespace gets a
# desktop's nsswitch.conf, and the C library finds the module through
# LD_LIBRARY_PATH.
#   stack_need.sh [--windows] BUILD_DIR
set -eu
if [ "${1:-}" != --inside ]; then
  cd "$(dirname "$0")/.."
  sh scripts/install_packages.sh dnsmasq g++
  windows=
  if [ "$1" = --windows ]; then windows=$1; shift; fi
  build=$(realpath "$1")
  tool=$(mktemp -d)
  trap 'rm -rf "$tool"' EXIT
  (cd "$tool" && apt-get download -q libnss-mdns >/dev/null 2>&1 && dpkg-deb -x libnss-mdns_*.deb mdns)
  export LD_LIBRARY_PATH="$tool/mdns/lib/$(gcc -print-multiarch)"
  sources="bench/stack_need.cpp host/host_services.cpp host/library_loader.cpp"
  if [ -n "$windows" ]; then
    # shellcheck disable=SC2086
    x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -I. $sources -static -lws2_32 -o "$tool/stack_need.exe"
    exec_args="--wine-prefix $build/wine-prefix-netns -- sh $0 --inside wine $tool/stack_need.exe Z:$build/pingext.dll"
  else
    # shellcheck disable=SC2086
    g++ -std=c++20 -O2 -I. $sources -o "$tool/stack_need"
    exec_args="-- sh $0 --inside env $tool/stack_need $build/libpingext.so"
  fi
  # shellcheck disable=SC2086
  sh tests/in_private_netns.sh --test-hosts $exec_args
  exit
fi
shift
runner=$1 program=$2 library=$3

# Names under dns.pingext.test are answered by dnsmasq on 127.0.0.1 alone.
resolv=$(mktemp)
printf 'nameserver 127.0.0.1\n' >"$resolv"
chmod a+r "$resolv"
mount --bind "$resolv" /etc/resolv.conf
nsswitch=$(mktemp)
sed 's/^hosts:.*/hosts: files mdns4_minimal [NOTFOUND=return] dns/' /etc/nsswitch.conf >"$nsswitch"
chmod a+r "$nsswitch"
mount --bind "$nsswitch" /etc/nsswitch.conf
dnsmasq --keep-in-foreground --no-resolv --no-hosts --listen-address=127.0.0.1 \
  --bind-interfaces --user=root --pid-file= --address=/dns.pingext.test/127.0.0.1 &
dns=$!
trap 'kill "$dns" 2>/dev/null; rm -f "$resolv" "$nsswitch"' EXIT
sleep 0.5

try() {  # try BYTES TARGET: -1, answered, or nothing when the call did not return
  { $runner "$program" "$1" "$library" "$2" | tr -d '\r' | sed -e 's/^[0-9][0-9]*$/answered/'; } \
    2>/dev/null || true
}
for target in 127.0.0.1 ::1 localhost host.dns.pingext.test no-such-host.invalid printer.local; do
  expected=$(try 1048576 "$target")
  low=4096 high=1048576
  while [ $((high - low)) -gt 1024 ]; do
    middle=$(((low + high) / 2 / 1024 * 1024))
    if [ "$(try "$middle" "$target")" = "$expected" ]; then high=$middle; else low=$middle; fi
  done
  printf '%-24s %-9s least stack %4d KB\n' "$target" "$expected" $((high / 1024))
done
