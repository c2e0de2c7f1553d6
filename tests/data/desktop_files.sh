#!/usr/bin/env bash
# The desktop file and the AppStream metadata pass their validators, and the desktop file offers
# the program for every picture type it reads, as this system's MIME database names them.
#   desktop_files.sh SOURCE_DIR
set -euo pipefail
src=${1:?usage: desktop_files.sh SOURCE_DIR}
id=org.velmoran.ImgLift
desktop=$src/data/$id.desktop
metainfo=$src/data/$id.metainfo.xml
fail=0

# Hints are advice; errors and warnings fail.
if ! out=$(desktop-file-validate "$desktop" 2>&1) || grep -Eq ': (error|warning):' <<<"$out"; then
  echo "$out"
  fail=1
fi

appstreamcli validate --no-net "$metainfo" || fail=1

# The program announces the same id the files are named by.
grep -q "setDesktopFileName(QStringLiteral(\"$id\"))" "$src/app/main.cpp" ||
  { echo "app/main.cpp does not announce $id"; fail=1; }
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
  { echo "the metadata does not launch $id.desktop"; fail=1; }

mimetypes=$(sed -n 's/^MimeType=//p' "$desktop" | tr ';' '\n')
globs=/usr/share/mime/globs2
if [ -r "$globs" ]; then
  for ext in jpg jpeg bmp ico emf wmf png gif webp tif tiff heic heif avif; do
    # globs2 lines: weight:type:*.ext
    types=$(awk -F: -v g="*.$ext" 'tolower($3) == g { print $2 }' "$globs")
    [ -n "$types" ] || { echo "the MIME database has no type for .$ext"; fail=1; continue; }
    for t in $types; do
      grep -qx "$t" <<<"$mimetypes" || { echo "MimeType lacks $t (.$ext)"; fail=1; }
    done
  done
else
  echo "no $globs: the picture types are not checked against the MIME database"
fi

exit "$fail"
