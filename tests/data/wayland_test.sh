#!/usr/bin/env bash
# The program comes up as a native Wayland client under a headless weston: its toplevel carries
# the application id and the window's title, and it draws a first frame. Exit 77 (skipped) where
# weston cannot start.
#   wayland_test.sh PATH_TO_IMGLIFT
set -euo pipefail
program=${1:?usage: wayland_test.sh PATH_TO_IMGLIFT}
id=org.velmoran.ImgLift
title="Velmoran ImgLift 1.0"

command -v weston >/dev/null || { echo "SKIP: weston is not installed"; exit 77; }

work=$(mktemp -d)
chmod 0700 "$work"
weston_pid=
app_pid=
cleanup() {
  [ -z "$app_pid" ] || kill "$app_pid" 2>/dev/null || true
  [ -z "$weston_pid" ] || kill "$weston_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 0700 "$XDG_RUNTIME_DIR"
socket=imglift-test-$$
weston --backend=headless-backend.so --socket="$socket" --idle-time=0 \
  --no-config >"$work/weston.log" 2>&1 &
weston_pid=$!
for _ in $(seq 100); do
  [ -S "$XDG_RUNTIME_DIR/$socket" ] && break
  kill -0 "$weston_pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -S "$XDG_RUNTIME_DIR/$socket" ]; then
  echo "SKIP: weston did not start:"
  cat "$work/weston.log"
  exit 77
fi

# A private settings file and cache, no X server and no session bus to fall back on.
env -u DISPLAY -u DBUS_SESSION_BUS_ADDRESS \
  WAYLAND_DISPLAY="$socket" QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=1 \
  IMGLIFT_REGISTRY="$work/HKCU.reg" XDG_CACHE_HOME="$work/cache" XDG_CONFIG_HOME="$work/config" \
  "$program" >"$work/app.log" 2>&1 &
app_pid=$!

log=$work/app.log
up() {
  grep -q "xdg_toplevel@[0-9]*\.set_app_id(\"$id\")" "$log" &&
    grep -q "xdg_toplevel@[0-9]*\.set_title(\"$title\")" "$log" &&
    grep -q "xdg_surface@[0-9]*\.ack_configure(" "$log" &&
    grep -q "wl_surface@[0-9]*\.attach(wl_buffer@" "$log"
}
for _ in $(seq 200); do
  up && break
  kill -0 "$app_pid" 2>/dev/null || break
  sleep 0.1
done
if ! up; then
  echo "The window did not come up on Wayland. Program output (protocol trace, last lines):"
  tail -n 40 "$log"
  exit 1
fi
kill -0 "$app_pid" 2>/dev/null || { echo "The program ended by itself"; exit 1; }
grep -m1 "set_app_id" "$log"
grep -m1 "set_title" "$log"
echo "The window is up on Wayland with id $id and title \"$title\""
