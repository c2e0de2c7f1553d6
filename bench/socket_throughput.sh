#!/usr/bin/env bash
# Prints the loopback throughput of two TWSocket objects against a blocking pair.
#   bench/socket_throughput.sh <build folder> [MiB] [block KiB]
set -euo pipefail
build="${1:-build}"
exe="$build/bench/socket_throughput"
[ -x "$exe" ] || cmake --build "$build" --target socket_throughput
QT_QPA_PLATFORM=offscreen "$exe" "${2:-256}" "${3:-64}"
