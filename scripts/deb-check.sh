#!/usr/bin/env bash
# Proves the package on a system that has never seen the build: a clean Debian 12 (debootstrap,
# minbase) in a temporary folder, the package installed there with apt-get, and as an ordinary
# user: --version, --help, a headless upload to a pyftpdlib server outside on 127.0.0.1, and the
# window on an Xvfb display outside. Then apt-get remove must leave no file of the package.
# Needs root (debootstrap, chroot, mounts): exit 77 otherwise.
#   deb-check.sh PACKAGE.deb CACHE_DIR
# CACHE_DIR keeps the bootstrapped system as a tarball and the downloaded packages, so that a
# second run neither bootstraps nor downloads again; delete it to start afresh.
set -euo pipefail
deb=$(realpath "${1:?usage: deb-check.sh PACKAGE.deb CACHE_DIR}")
cache=${2:?usage: deb-check.sh PACKAGE.deb CACHE_DIR}
src=$(cd "$(dirname "$0")/.." && pwd)
suite=bookworm
started=$(date +%s)

[ "$(id -u)" -eq 0 ] || { echo "SKIP: deb-check needs root (debootstrap, chroot, mounts)"; exit 77; }
for tool in debootstrap Xvfb xdotool convert identify; do
  command -v "$tool" >/dev/null || { echo "deb-check: $tool is not installed (scripts/install-deps.sh)"; exit 1; }
done
mkdir -p "$cache/archives"
cache=$(realpath "$cache")

# The mirror this machine reaches, as its own apt sources name it (deb822 or one-line form).
sources_uri() { # SUITE
  {
    awk -v RS= -v suite="$1" '
      { ok = 0; uri = "" }
      match($0, /(^|\n)Suites:[^\n]*/) { n = split(substr($0, RSTART, RLENGTH), w, /[ \t\n]+/)
                                         for (i = 1; i <= n; i++) if (w[i] == suite) ok = 1 }
      match($0, /(^|\n)URIs:[ \t]*[^ \t\n]+/) { n = split(substr($0, RSTART, RLENGTH), w, /[ \t\n]+/)
                                                uri = w[n] }
      ok && uri != "" && $0 !~ /(^|\n)Enabled:[ \t]*no/ { print uri }' \
      /etc/apt/sources.list.d/*.sources 2>/dev/null || true
    awk -v suite="$1" '$1 == "deb" { i = 2; if ($2 ~ /^\[/) while ($i !~ /\]$/) i++
                                     if ($2 ~ /^\[/) i++; if ($(i + 1) == suite) print $i }' \
      /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true
  } | head -n1
}
mirror=$(sources_uri $suite)
mirror=${mirror:-http://deb.debian.org/debian}
security=$(sources_uri $suite-security)
proxy=$(apt-config dump Acquire::http::Proxy 2>/dev/null | sed -n 's/^Acquire::http::Proxy "\(.*\)";$/\1/p')

work=$(mktemp -d "$cache/run.XXXXXX")
root=$work/root
mounts=()
pids=()
# Every process started here is ended, every mount undone, and the folder removed only when
# nothing is mounted below it any more (a mount left there would be emptied along with it).
cleanup() {
  local status=$? pid m
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    m=${mounts[i]}
    umount "$m" 2>/dev/null || umount -l "$m" || true
  done
  if grep -q " $work/" /proc/mounts; then
    echo "deb-check: still mounted below $work; left in place"
  else
    rm -rf --one-file-system "$work"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
fail() {
  echo "FAILED: $*"
  for f in "$work"/*.log; do [ -s "$f" ] && { echo "--- ${f##*/}"; tail -n 30 "$f"; }; done
  exit 1
}
step() { echo "[$(($(date +%s) - started)) s] $*"; }
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }

# The clean system, bootstrapped once per mirror and kept as a tarball.
tarball=$cache/$suite-minbase.tar
if [ ! -s "$tarball" ] || [ "$(cat "$tarball.mirror" 2>/dev/null)" != "$mirror" ]; then
  step "Bootstrapping Debian $suite (minbase) from $mirror"
  http_proxy=$proxy debootstrap --variant=minbase $suite "$work/bootstrap" "$mirror" \
    >"$work/debootstrap.log" 2>&1 || fail "debootstrap did not finish"
  find "$work/bootstrap/var/cache/apt/archives" -name '*.deb' -delete
  tar -C "$work/bootstrap" -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
  echo "$mirror" >"$tarball.mirror"
  rm -rf --one-file-system "$work/bootstrap"
fi
step "Unpacking the clean system"
mkdir "$root"
tar -C "$root" -xpf "$tarball"

mount -t proc proc "$root/proc" && mounts+=("$root/proc")
mount -t tmpfs -o mode=1777 shm "$root/dev/shm" && mounts+=("$root/dev/shm")
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
{
  echo "deb $mirror $suite main"
  echo "deb $mirror $suite-updates main"
  [ -z "$security" ] || echo "deb $security $suite-security main"
} >"$root/etc/apt/sources.list"
rm -f "$root"/etc/apt/sources.list.d/*
[ -z "$proxy" ] || echo "Acquire::http::Proxy \"$proxy\";" >"$root/etc/apt/apt.conf.d/90proxy"
# No services start in the chroot; the cached packages are root's.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 0755 "$root/usr/sbin/policy-rc.d"
echo 'APT::Sandbox::User "root";' >"$root/etc/apt/apt.conf.d/90sandbox"
# A throw-away system needs no fsync after every unpacked file.
echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/90unsafe-io"
find "$cache/archives" -name '*.deb' -exec cp -lf {} "$root/var/cache/apt/archives/" \;

# The package, as a user installs it. Without the recommended packages: what it depends on must
# be enough.
step "Installing ${deb##*/}"
cp "$deb" "$root/tmp/"
in_root apt-get update -q >"$work/apt.log" 2>&1 || fail "apt-get update failed"
in_root DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
  "/tmp/${deb##*/}" >>"$work/apt.log" 2>&1 || fail "apt-get install failed"
grep -E '^(Need to get|Fetched|[0-9]+ upgraded)' "$work/apt.log" || true
# Keep what was downloaded for the next run, and nothing older.
find "$cache/archives" -name '*.deb' -delete
find "$root/var/cache/apt/archives" -name '*.deb' -exec cp -lf {} "$cache/archives/" \;
in_root dpkg -L imglift >"$work/files"
[ -x "$root/usr/bin/imglift" ] || fail "the package did not install /usr/bin/imglift"

# An ordinary user, and the program run as that user with nothing of this machine's environment.
in_root useradd -m -s /bin/sh tester
user=$(in_root id -u tester):$(in_root id -g tester)
home=/home/tester
as_user() {
  chroot --userspec="$user" "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=$home \
    LANG=C.UTF-8 IMGLIFT_REGISTRY=$home/HKCU.reg "$@"
}

step "imglift --version and --help"
version=$(as_user imglift --version 2>&1) || fail "imglift --version failed: $version"
[ "$version" = "Velmoran ImgLift 1.0" ] || fail "imglift --version printed '$version'"
help=$(as_user imglift --help 2>&1) || fail "imglift --help failed: $help"
grep -q '^Usage: imglift' <<<"$help" || fail "imglift --help printed: $help"

step "imglift --upload to a server outside"
mkdir -p "$work/ftp"
/usr/bin/python3 "$src/tests/ftp/ftp_server.py" --port 0 --root "$work/ftp" --user-230 \
  >"$work/ftp.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q READY "$work/ftp.log" && break; sleep 0.1; done
grep -q READY "$work/ftp.log" || fail "the FTP server did not start"
port=$(sed -n 's/^READY //p' "$work/ftp.log" | head -n1)
cat >"$root$home/HKCU.reg" <<REG
REGEDIT4

[HKEY_CURRENT_USER\\Software\\Velmoran\\ImgLift]
"Reset"="0"
"Host"="127.0.0.1"
"Port"="$port"
"User"="user"
"Directory"="/"
"MaxWidth"="620"
"MaxHeight"="480"
"Quality"="80"
"ConstrainPorportions"="1"
REG
convert -size 800x600 gradient:navy-orange "$root$home/holiday.jpg"
chown "$user" "$root$home/HKCU.reg" "$root$home/holiday.jpg"
address=$(as_user imglift --upload $home/holiday.jpg 2>"$work/upload.log") ||
  fail "imglift --upload failed"
[ "$address" = holiday.jpg ] || fail "imglift --upload printed '$address'"
[ "$(identify -format '%m %wx%h' "$work/ftp/holiday.jpg" 2>&1)" = "JPEG 620x465" ] ||
  fail "the server holds: $(identify -format '%m %wx%h' "$work/ftp/holiday.jpg" 2>&1)"

# A Windows metafile goes through the helper program in the package's library folder and libwmf.
/usr/bin/python3 - "$root$home/drawing.wmf" <<'PY'
import struct, sys
def record(function, *words):
    return struct.pack("<IH", 3 + len(words), function) + struct.pack("<%dH" % len(words), *words)
body = (record(0x020B, 0, 0) + record(0x020C, 300, 400)          # window origin, extent
        + record(0x02FC, 0, 0x00ff, 0x0000, 0) + record(0x012D, 0)  # red brush
        + record(0x02FA, 5, 0, 0, 0, 0) + record(0x012D, 1)         # null pen
        + record(0x041B, 250, 350, 50, 50) + record(0x0000))        # rectangle, end
header = struct.pack("<HHHIHIH", 1, 9, 0x0300, (18 + len(body)) // 2, 2, 8, 0)
placeable = struct.pack("<IHhhhhHI", 0x9AC6CDD7, 0, 0, 0, 400, 300, 96, 0)
checksum = 0
for (word,) in struct.iter_unpack("<H", placeable):
    checksum ^= word
open(sys.argv[1], "wb").write(placeable + struct.pack("<H", checksum) + header + body)
PY
chown "$user" "$root$home/drawing.wmf"
address=$(as_user imglift --upload $home/drawing.wmf --name drawing.jpg 2>"$work/upload.log") ||
  fail "imglift --upload of a metafile failed"
[ "$(identify -format '%m %wx%h' "$work/ftp/drawing.jpg" 2>&1)" = "JPEG 620x465" ] ||
  fail "the server holds: $(identify -format '%m %wx%h' "$work/ftp/drawing.jpg" 2>&1)"
# Drawn, not blank: the rectangle's red in the middle.
centre=$(convert "$work/ftp/drawing.jpg" -format '%[fx:int(255*p{310,232}.r)] %[fx:int(255*p{310,232}.g)]' info:)
read -r red green <<<"$centre"
[ "$red" -gt 200 ] && [ "$green" -lt 60 ] || fail "the metafile's middle is (red green) $centre, not red"

step "The window on an X display"
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -ac >"$work/xvfb.log" 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(head -n1 "$work/display")
as_user DISPLAY="$DISPLAY" QT_QPA_PLATFORM=xcb imglift >"$work/imglift.log" 2>&1 &
app=$!
pids+=("$app")
window=
for _ in $(seq 300); do
  window=$(xdotool search --onlyvisible --name '^Velmoran ImgLift 1\.0$' 2>/dev/null | head -n1) || true
  [ -n "$window" ] && break
  kill -0 "$app" 2>/dev/null || fail "imglift ended before its window appeared"
  sleep 0.1
done
[ -n "$window" ] || fail "the window \"Velmoran ImgLift 1.0\" did not appear"
# The scanner manager, in the program's library folder, loads: otherwise a "Velmoran" box says
# it could not.
sleep 1
! xdotool search --onlyvisible --name '^Velmoran$' >/dev/null 2>&1 ||
  fail "the program showed a message at start: $(cat "$work/imglift.log")"
kill "$app"
wait "$app" 2>/dev/null || true

step "Removing the package"
in_root DEBIAN_FRONTEND=noninteractive apt-get remove -y -q imglift >>"$work/apt.log" 2>&1 ||
  fail "apt-get remove failed"
left=()
while IFS= read -r path; do
  [ -e "$root$path" ] || [ -L "$root$path" ] || continue
  # A folder stays when another package, or the system, owns it too.
  [ -d "$root$path" ] && [ ! -L "$root$path" ] && in_root dpkg-query -S "$path" >/dev/null 2>&1 && continue
  [ "$path" = /. ] && continue
  left+=("$path")
done <"$work/files"
[ ${#left[@]} -eq 0 ] || fail "left after apt-get remove: ${left[*]}"

step "Passed: ${deb##*/} ($(du -k "$deb" | cut -f1) KiB) installs, runs and goes away on a clean Debian $suite"
