#!/usr/bin/env bash
# Loads a 24-megapixel JPEG, the same picture as PNG and a 12-megapixel HEIC, fits each into
# 620 x 480 and writes it at quality 80, with ImgLift's pipeline, ImageMagick and vipsthumbnail,
# and prints the medians and the ratios.
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

# A photo-like picture: smooth plasma enlarged, with grain; 4:2:0 like a camera. Kept between runs,
# with the same picture as PNG and, at 4000 x 3000, as HEIC.
src=$build/bench/photo-6000x4000.jpg
if [ ! -s "$src" ]; then
  echo "making $src ..."
  convert -size 1500x1000 -seed 3 plasma:fractal -resize '6000x4000!' -seed 3 -attenuate 0.3 \
    +noise Gaussian -sampling-factor 2x2 -quality 90 "$src.tmp.jpg"
  mv "$src.tmp.jpg" "$src"
fi
png=$build/bench/photo-6000x4000.png
[ -s "$png" ] || { echo "making $png ..."; convert "$src" "$png.tmp.png" && mv "$png.tmp.png" "$png"; }
heic=$build/bench/photo-4000x3000.heic
if [ ! -s "$heic" ]; then
  echo "making $heic ..."
  convert "$src" -resize '4000x3000!' -quality 80 "$heic.tmp.heic" && mv "$heic.tmp.heic" "$heic"
fi

# run NAME COMMAND...: prints "wall_s cpu_s maxrss_kib", the medians over $runs runs.
measure() {
  local out=$work/times
  : >"$out"
  for _ in $(seq "$runs"); do
    /usr/bin/time -f "%e %U %S %M" -o "$work/one" "$@" >/dev/null 2>"$work/err" ||
      { cat "$work/err" >&2; return 1; }
    tail -n 1 "$work/one" >>"$out"
  done
  awk '{ w[NR] = $1; c[NR] = $2 + $3; m[NR] = $4 }
       function median(a, n,   i, j, t) {
         for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
         return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
       }
       END { printf "%.3f %.3f %d\n", median(w, NR), median(c, NR), median(m, NR) }' "$out"
}

ratio() { printf "%.2f" "$(echo "$1 / $2" | bc -l)"; }

# bench SRC WIDTH HEIGHT: the three tools on one source. A HEIC picture is decoded by the helper
# program, whose time and memory /usr/bin/time counts with the program's (children included).
bench() {
  local src=$1 width=$2 height=$3 decoded=$(($2 * $3 * 3)) iw ic im mw mc mm vw vc vm
  echo
  echo "source: $src ($(stat -c %s "$src") bytes, $width x $height), $runs runs each, medians"
  if IMGLIFT_METAFILE_HELPER=$(realpath "$build/imglift-metafile") \
    "$bin" "$src" "$work/imglift.jpg" >"$work/stages" 2>"$work/err"; then
    sed 's/^/  imglift stage: /' "$work/stages"
  else
    echo "  imglift failed: $(cat "$work/err")"
    return
  fi
  read -r iw ic im < <(IMGLIFT_METAFILE_HELPER=$(realpath "$build/imglift-metafile") \
    measure "$bin" "$src" "$work/imglift.jpg") || { echo "  imglift failed"; return; }
  read -r mw mc mm < <(measure convert "$src" -sample 620x480 -quality 80 "$work/magick.jpg") ||
    { echo "  imagemagick failed"; return; }
  if ! read -r vw vc vm < <(measure vipsthumbnail "$src" -s 620x480 -o "$work/vips.jpg[Q=80]"); then
    vw=0 vc=0 vm=0
    echo "  vipsthumbnail cannot read it"
  fi
  printf '%-16s %9s %9s %12s\n' tool "wall s" "cpu s" "peak MiB"
  for row in "imglift $iw $ic $im" "imagemagick $mw $mc $mm" "vipsthumbnail $vw $vc $vm"; do
    set -- $row
    printf '%-16s %9.3f %9.3f %12.1f\n' "$1" "$2" "$3" "$(echo "$4 / 1024" | bc -l)"
  done
  echo "imglift / imagemagick: wall $(ratio "$iw" "$mw")x, cpu $(ratio "$ic" "$mc")x (goal <= 1)"
  [ "$vw" = 0 ] ||
    echo "imglift / vipsthumbnail: wall $(ratio "$iw" "$vw")x, cpu $(ratio "$ic" "$vc")x (goal <= 1.3)"
  echo "imglift peak / decoded picture ($((decoded / 1048576)) MiB): $(ratio "$im * 1024" "$decoded")x (goal <= 1.5)"
  identify -format 'output sizes: imglift %wx%h' "$work/imglift.jpg" 2>/dev/null || true
  identify -format ', imagemagick %wx%h' "$work/magick.jpg" 2>/dev/null || true
  [ "$vw" = 0 ] || identify -format ', vipsthumbnail %wx%h' "$work/vips.jpg" 2>/dev/null || true
  echo
}

bench "$src" 6000 4000
bench "$png" 6000 4000
bench "$heic" 4000 3000
