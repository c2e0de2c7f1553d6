#!/usr/bin/env bash
# Loads a 24-megapixel JPEG, fits it into 620 x 480 and writes it at quality 80, with ImgLift's
# pipeline, ImageMagick and vipsthumbnail, and prints the medians and the ratios.
#   bench/picture_pipeline.sh [build folder] [runs]
set -euo pipefail
build=${1:-build}
runs=${2:-5}
bin=$build/bench/picture_pipeline
[ -x "$bin" ] || { echo "picture_pipeline: $bin is missing; build first" >&2; exit 1; }
for tool in convert vipsthumbnail /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "picture_pipeline: $tool is not installed" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A photo-like picture: smooth plasma enlarged, with grain; 4:2:0 like a camera. Kept between runs.
src=$build/bench/photo-6000x4000.jpg
if [ ! -s "$src" ]; then
  echo "making $src ..."
  convert -size 1500x1000 -seed 3 plasma:fractal -resize '6000x4000!' -seed 3 -attenuate 0.3 \
    +noise Gaussian -sampling-factor 2x2 -quality 90 "$src.tmp.jpg"
  mv "$src.tmp.jpg" "$src"
fi
decoded=$((6000 * 4000 * 3))

# run NAME COMMAND...: prints "wall_s cpu_s maxrss_kib", the medians over $runs runs.
measure() {
  local out=$work/times
  : >"$out"
  for _ in $(seq "$runs"); do
    /usr/bin/time -f "%e %U %S %M" -o "$work/one" "$@" >/dev/null 2>"$work/err" ||
      { cat "$work/err" >&2; exit 1; }
    tail -n 1 "$work/one" >>"$out"
  done
  awk '{ w[NR] = $1; c[NR] = $2 + $3; m[NR] = $4 }
       function median(a, n,   i, j, t) {
         for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
         return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
       }
       END { printf "%.3f %.3f %d\n", median(w, NR), median(c, NR), median(m, NR) }' "$out"
}

echo "source: $src ($(stat -c %s "$src") bytes, 6000 x 4000), $runs runs each, medians"
"$bin" "$src" "$work/imglift.jpg" 2>/dev/null | sed 's/^/  imglift stage: /'
read -r iw ic im < <(measure "$bin" "$src" "$work/imglift.jpg")
read -r mw mc mm < <(measure convert "$src" -sample 620x480 -quality 80 "$work/magick.jpg")
read -r vw vc vm < <(measure vipsthumbnail "$src" -s 620x480 -o "$work/vips.jpg[Q=80]")

printf '%-16s %9s %9s %12s\n' tool "wall s" "cpu s" "peak MiB"
for row in "imglift $iw $ic $im" "imagemagick $mw $mc $mm" "vipsthumbnail $vw $vc $vm"; do
  set -- $row
  printf '%-16s %9.3f %9.3f %12.1f\n' "$1" "$2" "$3" "$(echo "$4 / 1024" | bc -l)"
done
ratio() { printf "%.2f" "$(echo "$1 / $2" | bc -l)"; }
echo "imglift / imagemagick: wall $(ratio "$iw" "$mw")x, cpu $(ratio "$ic" "$mc")x (goal <= 1)"
echo "imglift / vipsthumbnail: wall $(ratio "$iw" "$vw")x, cpu $(ratio "$ic" "$vc")x (goal <= 1.3)"
echo "imglift peak / decoded picture ($((decoded / 1048576)) MiB): $(ratio "$im * 1024" "$decoded")x (goal <= 1.5)"
identify -format 'output sizes: imglift %wx%h' "$work/imglift.jpg" 2>/dev/null || true
identify -format ', imagemagick %wx%h' "$work/magick.jpg" 2>/dev/null || true
identify -format ', vipsthumbnail %wx%h\n' "$work/vips.jpg" 2>/dev/null || true
