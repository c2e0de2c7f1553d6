#!/usr/bin/env bash
# Loads thousands of mutated JPEG, bitmap, icon, WMF, EMF, PNG, GIF, WebP, TIFF and HEIC files
# (changed bytes, flipped bits, cuts, extreme size fields) and prints how many were refused, how many metafile helpers died of
# a signal, the longest load and the largest helper memory.
#   tests/picture/fuzz_pictures.sh [build folder] [rounds per sample, 14 samples]
set -euo pipefail
build=${1:-build}
rounds=${2:-230}
bin=$build/tests/test_picture
helper=$build/imglift-metafile
for f in "$bin" "$helper"; do
  [ -x "$f" ] || { echo "fuzz_pictures: $f is missing; build test_picture first" >&2; exit 1; }
done
IMGLIFT_FUZZ_ROUNDS=$rounds IMGLIFT_METAFILE_HELPER=$(realpath "$helper") QT_QPA_PLATFORM=offscreen \
  "$bin" --gtest_filter='PictureTest.DamagedFilesNeverCrash' 2>/dev/null |
  grep -E '^[0-9]+ pictures:|FAILED|PASSED'
