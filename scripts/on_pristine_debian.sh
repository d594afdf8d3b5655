#!/bin/sh
# Runs the README's two commands as a new user would: in a minimal Debian 12
# root made afresh (debootstrap, from the mirror this machine's apt uses),
# prepared as an installed system is, holding a clean clone of this
# repository's HEAD. There `sh scripts/demo.sh` and then `sh scripts/test.sh`
# run as root, so whatever either forgets to install fails here, not on a
# user's machine. Everything is unmounted and removed on every exit path.
# Run as root; CI runs it (.ci/run), and so does a developer before resolving.
#   on_pristine_debian.sh
set -eu
cd "$(dirname "$0")/.."
repository=$(pwd)
sh scripts/install_packages.sh debootstrap

mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
mirror=${mirror:-http://deb.debian.org/debian}

root=$(mktemp -d "${TMPDIR:-/var/tmp}/pristine-debian.XXXXXX")
chmod 755 "$root"  # it becomes /, which every user must be able to enter
started=$(date +%s)
elapsed() { echo "$(($(date +%s) - started)) s"; }

cleanup() {
  status=$?
  trap - EXIT INT TERM
  # Wine's server and anything else left running inside would hold the mounts.
  for process in /proc/[0-9]*; do
    [ "$(readlink "$process/root" 2>/dev/null)" = "$root" ] && kill -9 "${process#/proc/}" 2>/dev/null
  done
  if mountpoint -q "$root"; then
    umount -R "$root" || umount -R -l "$root"
  fi
  # Only a root with nothing mounted in it is removed: /dev must never be.
  if [ -z "$(findmnt -rn -o TARGET | grep -F "$root")" ]; then
    rm -rf --one-file-system "$root"
  else
    echo "on_pristine_debian.sh: $root still has mounts; left in place" >&2
  fi
  echo "=== pristine Debian 12: finished with status $status after $(elapsed)"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "=== pristine Debian 12: debootstrap --variant=minbase bookworm from $mirror (a minute or two)"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.log" 2>&1 ||
  { tail -n 20 "$root.log" >&2; rm -f "$root.log"; exit 1; }
rm -f "$root.log"

# As an installed system: apt's sources as this machine has them, a name
# server, the usual hosts file, and the kernel's file systems. The root is a
# mount point of its own, or `unshare -m` inside cannot make its mounts private.
cp /etc/apt/sources.list.d/debian.sources "$root/etc/apt/sources.list.d/" 2>/dev/null &&
  rm -f "$root/etc/apt/sources.list" || true
cp /etc/resolv.conf "$root/etc/resolv.conf"
printf '%s\n' '127.0.0.1 localhost' '::1 localhost ip6-localhost ip6-loopback' >"$root/etc/hosts"
mount --bind "$root" "$root"
for filesystem in proc sys dev dev/pts dev/shm; do
  mount --bind "/$filesystem" "$root/$filesystem"
done
git clone --quiet "$repository" "$root/root/pingext"
echo "=== pristine Debian 12: ready after $(elapsed); commit $(git -C "$root/root/pingext" rev-parse --short HEAD)"

in_root() {  # in_root COMMAND: run as root in the pristine system, in the clone
  chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    sh -c "cd /root/pingext && $1"
}
echo "=== pristine Debian 12: sh scripts/demo.sh"
in_root 'sh scripts/demo.sh'
echo "=== pristine Debian 12: demo done after $(elapsed); sh scripts/test.sh"
in_root 'sh scripts/test.sh'
echo "=== pristine Debian 12: both README commands passed after $(elapsed)"
