#!/usr/bin/env bash
# Removes the files that an install put in place, as its manifest lists them (one path a line,
# under DESTDIR when that is set, as for the install), and then the program's own folders (named
# imglift) that are left empty.
#   [DESTDIR=/tmp/stage] scripts/uninstall.sh build-install/install_manifest.txt
set -euo pipefail
manifest=${1:?usage: uninstall.sh MANIFEST}
[ -f "$manifest" ] || { echo "No such manifest: $manifest" >&2; exit 1; }

dirs=()
while IFS= read -r path || [ -n "$path" ]; do
  [ -n "$path" ] || continue
  path=${DESTDIR:-}$path
  if [ -e "$path" ] || [ -L "$path" ]; then
    rm -f -- "$path"
    echo "Removed $path"
  fi
  dir=$(dirname -- "$path")
  if [ "$(basename -- "$dir")" = imglift ]; then dirs+=("$dir"); fi
done <"$manifest"

for dir in "${dirs[@]}"; do
  if [ -d "$dir" ]; then rmdir --ignore-fail-on-non-empty -- "$dir"; fi
done
