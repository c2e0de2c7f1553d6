#!/usr/bin/env bash
# What the upload history costs: 100 uploads to a local pyftpdlib server, each timed without and
# then with its recording (thumbnail and one transaction); and `imglift --history` over a history
# of 10,000 entries (median wall time of the whole process, of 5 runs, plain and --json, beside
# `imglift --version` for the program's start alone, and the reading alone inside one process).
#   bench/upload_history.sh BUILD_DIR [ROUNDS] [ENTRIES]
set -euo pipefail
build=${1:?usage: upload_history.sh BUILD_DIR [ROUNDS] [ENTRIES]}
rounds=${2:-100}
entries=${3:-10000}
here=$(cd "$(dirname "$0")" && pwd)
bin=$build/bench/upload_history
[ -x "$bin" ] || { echo "missing $bin (build the upload_history target)" >&2; exit 1; }
[ -x "$build/imglift" ] || { echo "missing $build/imglift" >&2; exit 1; }

. "$here/common.sh"
bench_workdir
mkdir -p "$work/root" "$work/local" "$work/data/imglift"
export QT_QPA_PLATFORM=offscreen

bench_ftp_server "$work/root"

"$bin" uploads --port "$port" --dir "$work/local" --db "$work/uploads.sqlite" --rounds "$rounds"

"$bin" fill --db "$work/data/imglift/history.sqlite" --entries "$entries"
echo "reading $entries entries inside one process:"
"$bin" list --db "$work/data/imglift/history.sqlite"
times=()
for _ in 1 2 3 4 5; do
    t0=$(bench_now)
    "$build/imglift" --version > /dev/null
    t1=$(bench_now)
    times+=("$(echo "($t1 - $t0) * 1000" | bc -l)")
done
printf 'imglift --version                       median %6.1f ms\n' \
    "$(printf '%s\n' "${times[@]}" | bench_median)"
for flags in "" "--json"; do
    times=()
    cpu=()
    for _ in 1 2 3 4 5; do
        t0=$(bench_now)
        XDG_DATA_HOME=$work/data /usr/bin/time -f '%U %S' -o "$work/cpu.txt" \
            "$build/imglift" --history $flags > "$work/list.txt"
        t1=$(bench_now)
        times+=("$(echo "($t1 - $t0) * 1000" | bc -l)")
        cpu+=("$(awk '{print ($1 + $2) * 1000}' "$work/cpu.txt")")
    done
    lines=$(wc -l < "$work/list.txt")
    printf 'imglift --history %-7s %6d lines  median %6.1f ms (processor %4.0f ms)\n' "$flags" \
        "$lines" "$(printf '%s\n' "${times[@]}" | bench_median)" "$(printf '%s\n' "${cpu[@]}" | bench_median)"
done
