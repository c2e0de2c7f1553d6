#!/usr/bin/env bash
# Runs a test program with its own folder read-only, also for root: in a mount namespace of its
# own with the folder bound read-only over itself, or for another user by taking the write bits.
# Exit 77 (skipped) where neither can be done.
#   readonly_folder.sh PROGRAM [ARGS...]
set -euo pipefail
program=${1:?usage: readonly_folder.sh PROGRAM [ARGS...]}
dir=$(cd "$(dirname "$program")" && pwd)

if [ "$(id -u)" -ne 0 ]; then
  chmod a-w "$dir"
  trap 'chmod u+w "$dir"' EXIT
  "$@"
  exit
fi
if ! unshare -m true 2>/dev/null; then
  echo "SKIP: no mount namespace to make $dir read-only for root"
  exit 77
fi
exec unshare -m sh -c 'mount --bind -o ro "$1" "$1" && shift && exec "$@"' sh "$dir" "$@"
