#!/usr/bin/env bash
# A whole-glass colour scan of SANE's test device at 300 dpi, through our manager and TSRTWAIN
# into a bitmap, beside scanimage with the same device and settings. Prints the medians of the
# wall time and the peak memory, and the ratios against the goals: in all, and for the part that
# is the scan's own (from Acquire to the image in the bitmap; peak net of an empty Qt program).
#   bench/scan.sh [build folder] [runs]
set -euo pipefail
build=${1:-build}
runs=${2:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$build/bench/scan
[ -x "$bin" ] || { echo "scan: $bin is missing; build the scan_bench target first" >&2; exit 1; }
[ -e "$build/bench/libimglift_dsm.so" ] || { echo "scan: the manager is not built" >&2; exit 1; }
for tool in scanimage /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "scan: $tool is not installed" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export SANE_CONFIG_DIR=${SANE_CONFIG_DIR:-$root/tests/twain/sane}
export IMGLIFT_TWAIN_INI=$work/twain.ini
export QT_QPA_PLATFORM=offscreen
printf '[Scanner test:0]\nMode=Color\nResolution=300\n' >"$IMGLIFT_TWAIN_INI"

# measure COMMAND...: prints "wall_s maxrss_kib acquire_s", the medians over $runs runs; the
# last is the sixth field of the command's output (the scan's Acquire to bitmap), 0 without one.
measure() {
  local out=$work/times
  : >"$out"
  for _ in $(seq "$runs"); do
    # time's own wall clock counts in hundredths, too coarse for a 10 ms scanimage run.
    local start end
    start=$EPOCHREALTIME
    /usr/bin/time -f "%M" -o "$work/one" "$@" >"$work/stdout" 2>"$work/err" ||
      { cat "$work/err" >&2; exit 1; }
    end=$EPOCHREALTIME
    echo "$(echo "$end - $start" | bc -l) $(tail -n 1 "$work/one")" \
      "$(awk '{print $6}' "$work/stdout" | tail -n 1)" >>"$out"
  done
  local mid=$(((runs + 1) / 2))
  median() { cut -d' ' -f"$1" "$out" | sort -n | sed -n "${mid}p"; }
  local acquire
  acquire=$(median 3)
  echo "$(median 1) $(median 2) ${acquire:-0}"
}

read -r width height depth _ < <("$bin" 2>/dev/null)
picture=$((width * height * 3))
read -r iw im ia < <(measure "$bin")
read -r ew em _ < <(measure "$bin" --empty)
read -r sw sm _ < <(measure scanimage -d test --mode Color --resolution 300 -l 0 -t 0 -x 200 -y 200)

echo "SANE test device, colour, 300 dpi, whole glass: $width x $height, $depth-bit picture;" \
  "$runs runs each, medians"
printf '%-16s %9s %12s\n' tool "wall s" "peak MiB"
printf '%-16s %9.4f %12.1f\n' imglift "$iw" "$(echo "$im / 1024" | bc -l)"
printf '%-16s %9.4f %12.1f\n' "empty Qt app" "$ew" "$(echo "$em / 1024" | bc -l)"
printf '%-16s %9.4f %12.1f\n' scanimage "$sw" "$(echo "$sm / 1024" | bc -l)"
printf '%-16s %9.4f\n' "imglift Acquire" "$ia"
ratio() { printf "%.2f" "$(echo "$1 / $2" | bc -l)"; }
echo "imglift / scanimage wall time: $(ratio "$iw" "$sw")x in all," \
  "$(ratio "$ia" "$sw")x from Acquire to bitmap (goal <= 1.2)"
echo "imglift peak / picture ($((picture / 1048576)) MiB): $(ratio "$im * 1024" "$picture")x in all," \
  "$(ratio "($im - $em) * 1024" "$picture")x net of the empty Qt app (goal <= 2)"
