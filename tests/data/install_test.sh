#!/usr/bin/env bash
# `cmake --install` into a temporary DESTDIR puts the program, the desktop file, the metadata and
# every icon in place under the configured prefix, and the uninstall script takes all of it away
# again.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=${1:?usage: install_test.sh BUILD_DIR SOURCE_DIR}
src=${2:?usage: install_test.sh BUILD_DIR SOURCE_DIR}
id=org.velmoran.ImgLift

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dest=$work/root
manifest=$build/install_manifest.txt

DESTDIR=$dest cmake --install "$build" >"$work/install.log"
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
root=$dest$prefix
fail=0
missing() { echo "not installed: ${1#"$dest"}"; fail=1; }

echo "Installed under DESTDIR:"
(cd "$dest" && find . -type f -o -type l | sort | sed 's#^\.#  #')

[ -x "$root/bin/imglift" ] || missing "$root/bin/imglift"
# What the program loads or starts at run time, in its own library folder.
pkglib=$root/$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")/imglift
[ -x "$pkglib/imglift-metafile" ] || missing "$pkglib/imglift-metafile"
[ -f "$pkglib/libimglift_dsm.so" ] || missing "$pkglib/libimglift_dsm.so"
[ -f "$root/share/applications/$id.desktop" ] || missing "$root/share/applications/$id.desktop"
[ -f "$root/share/metainfo/$id.metainfo.xml" ] || missing "$root/share/metainfo/$id.metainfo.xml"
[ -f "$root/share/icons/hicolor/scalable/apps/$id.svg" ] ||
  missing "$root/share/icons/hicolor/scalable/apps/$id.svg"
for size in 16 22 24 32 48 64 128 256; do
  png=$root/share/icons/hicolor/${size}x$size/apps/$id.png
  [ -f "$png" ] || { missing "$png"; continue; }
  # The PNG header's width and height, big-endian at bytes 16..23.
  got=$(od -An -tu1 -j16 -N8 "$png" | awk '{ print $3 * 256 + $4 "x" $7 * 256 + $8 }')
  [ "$got" = "${size}x$size" ] || { echo "${size}x$size icon is $got"; fail=1; }
done

# The installed desktop file still validates and starts the installed program by name.
desktop-file-validate "$root/share/applications/$id.desktop" | grep -E ': (error|warning):' && fail=1
grep -qx 'Exec=imglift %f' "$root/share/applications/$id.desktop" || { echo "Exec is not imglift %f"; fail=1; }

# Everything listed in the manifest is in place, and the uninstall removes every file.
while IFS= read -r path; do
  [ -e "$dest$path" ] || missing "$dest$path"
done <"$manifest"
DESTDIR=$dest "$src/scripts/uninstall.sh" "$manifest" >/dev/null
left=$(cd "$dest" && find . -type f -o -type l)
[ -z "$left" ] || { echo "left after uninstall:"; echo "$left"; fail=1; }

exit "$fail"
