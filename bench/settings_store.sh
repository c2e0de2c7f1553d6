#!/usr/bin/env bash
# Times Push and Pop of the settings store on the build folder's file system.
# Usage: bench/settings_store.sh BUILD_DIR [ROUNDS]
set -euo pipefail
build=${1:?build folder}
dir=$(mktemp -d "$build/settings_store.XXXXXX")
trap 'rm -rf "$dir"' EXIT
"$build/bench/settings_store" "$dir" "${2:-50}"
