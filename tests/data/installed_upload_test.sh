#!/usr/bin/env bash
# The installed program, run by an ordinary user (nobody) on an X server, uploads the picture named
# on its command line to a loopback FTP server: Upload (Alt+U), Yes, OK, as a person would. The
# program's folder is not writable for that user, so the upload's temporary JPEG goes to the
# user's cache folder, and is gone after the upload. Needs root to switch users: exit 77 (skipped)
# otherwise.
#   installed_upload_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=${1:?usage: installed_upload_test.sh BUILD_DIR SOURCE_DIR}
src=${2:?usage: installed_upload_test.sh BUILD_DIR SOURCE_DIR}

[ "$(id -u)" -eq 0 ] || { echo "SKIP: runs the program as nobody, which needs root"; exit 77; }
for tool in Xvfb xdotool runuser convert; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
id nobody >/dev/null 2>&1 || { echo "SKIP: there is no user nobody"; exit 77; }

work=$(mktemp -d)
chmod 0755 "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*"
  for f in "$work"/*.log; do echo "--- ${f##*/}"; tail -n 20 "$f"; done
  exit 1
}

DESTDIR=$work/root cmake --install "$build" >"$work/install.log"
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
program=$work/root$prefix/bin/imglift
[ -x "$program" ] || fail "nothing installed at $program"

# The user's home: settings pointing at the server (the password is typed in).
home=$work/home
mkdir -p "$home/config" "$home/cache/imglift" "$work/ftp" "$work/pictures"
chmod 0700 "$home/cache/imglift"
convert -size 800x600 gradient:navy-orange "$work/pictures/holiday.jpg"

/usr/bin/python3 "$src/tests/ftp/ftp_server.py" --port 0 --root "$work/ftp" \
  --password secret >"$work/ftp.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q READY "$work/ftp.log" && break; sleep 0.1; done
port=$(sed -n 's/^READY //p' "$work/ftp.log" | head -n1)
[ -n "$port" ] || fail "the FTP server did not start: $(cat "$work/ftp.log")"

cat >"$home/config/HKCU.reg" <<REG
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
"ImageName"="holiday.jpg"
REG
chmod 0600 "$home/config/HKCU.reg"
chown -R nobody: "$home"

# An X server of our own that any local user may use.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -ac >"$work/xvfb.log" 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(head -n1 "$work/display")

# The program as nobody, with the given arguments; its pid in $app.
run() {
  runuser -u nobody -- env -i PATH=/usr/bin:/bin HOME="$home" DISPLAY="$DISPLAY" QT_QPA_PLATFORM=xcb \
    XDG_CONFIG_HOME="$home/config" XDG_CACHE_HOME="$home/cache" \
    IMGLIFT_REGISTRY="$home/config/HKCU.reg" "$program" "$@" >>"$work/imglift.log" 2>&1 &
  app=$!
  pids+=("$app")
}
# A window of that exact title, waited for (xdotool's --sync alone waits for ever).
window() {
  local id
  for _ in $(seq 150); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1) || true
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}
press() {
  xdotool windowfocus --sync "$1" key --clearmodifiers "$2"
}

# First run: the password typed on the FTP page (from the page's tab: Host, Username, Password),
# which stores it at once. Alt+F is the FTP page's alone once the Source page with its "&File"
# button is out of sight.
run
main=$(window 'Velmoran ImgLift 1\.0') || fail "the main window did not show"
press "$main" alt+i
press "$main" alt+f
xdotool key Tab Tab Tab
xdotool type --delay 20 secret
# Each keystroke is stored at once: wait until the file stops changing, so that the last letter,
# not the first, is in it before the program is ended (a loaded machine may lag behind xdotool).
last= stable=0
for _ in $(seq 60); do
  now=$(md5sum <"$home/config/HKCU.reg")
  if [ "$now" = "$last" ]; then stable=$((stable + 1)); else stable=0; last=$now; fi
  [ "$stable" -ge 4 ] && break
  sleep 0.5
done
grep -Eq '^"Password"=(hex|"[^"])' "$home/config/HKCU.reg" || fail "the typed password was not stored"
kill "$app"
wait "$app" 2>/dev/null || true

# Second run with the picture on the command line. Upload (Alt+U) works once the picture is loaded
# and its page shown, which comes just after the window: pressed until it asks.
run "$work/pictures/holiday.jpg"
main=$(window 'Velmoran ImgLift 1\.0') || fail "the main window did not show again"
question=
for _ in $(seq 20); do
  press "$main" alt+u
  question=$(xdotool search --onlyvisible --name '^Velmoran$' 2>/dev/null | head -n1) || true
  [ -n "$question" ] && break
  sleep 0.5
done
[ -n "$question" ] || fail "no confirmation was asked"
press "$question" Return
for _ in $(seq 150); do [ -s "$work/ftp/holiday.jpg" ] && break; sleep 0.1; done
answer=$(window 'Velmoran') || fail "no outcome was shown"
press "$answer" Return

stored=$work/ftp/holiday.jpg
[ -s "$stored" ] || fail "nothing arrived on the server"
[ "$(identify -format '%m %wx%h' "$stored")" = "JPEG 620x465" ] ||
  fail "the server holds $(identify -format '%m %wx%h' "$stored")"
[ -z "$(ls -A "$home/cache/imglift")" ] || fail "the temporary JPEG was left in the cache folder"
[ -z "$(find "$(dirname "$program")" -maxdepth 1 -name 'temp*.jpg')" ] ||
  fail "a temporary JPEG was written next to the installed program"
[ "$(stat -c %a "$home/cache/imglift")" = 700 ] || fail "the cache folder is not private"
echo "The installed program uploaded holiday.jpg as nobody through $home/cache/imglift"
