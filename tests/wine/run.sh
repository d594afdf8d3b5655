#!/bin/sh
# Runs a Windows program under Wine's loader, or reports the test skipped (77)
# where this machine cannot run that loader: 32-bit Wine on a kernel that
# runs no 32-bit x86 program.
#   run.sh LOADER PROGRAM [ARG...]
loader=$1
shift
if ! refusal=$("$loader" --version 2>&1 >/dev/null); then
  echo "SKIPPED: this machine cannot run Wine's loader $loader: $refusal" >&2
  exit 77
fi
exec "$loader" "$@"
