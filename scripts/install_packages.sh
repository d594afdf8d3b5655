#!/bin/sh
# Installs the Debian packages named in the arguments that are not installed
# yet; a name with an architecture (libc6:arm64) enables that architecture.
set -eu
missing=
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing="$missing $package"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "install_packages.sh: these packages are missing and installing them needs root:$missing" >&2
  exit 1
fi
echo "Installing:$missing"
echo "(with what they depend on; on a fresh system this takes a few minutes)"
export DEBIAN_FRONTEND=noninteractive
for package in $missing; do
  case "$package" in
    *:*)
      architecture=${package#*:}
      [ "$architecture" = "$(dpkg --print-architecture)" ] ||
        dpkg --print-foreign-architectures | grep -qx "$architecture" ||
        dpkg --add-architecture "$architecture"
      ;;
  esac
done
apt-get update -q
# One line per package fetched, unpacked and set up, so the work shows.
# shellcheck disable=SC2086
apt-get install -y -q --no-install-recommends $missing
