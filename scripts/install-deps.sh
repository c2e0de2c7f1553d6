#!/usr/bin/env bash
# Installs the Debian packages that ImgLift needs to build, run and test.
# Safe to run any number of times: it only calls apt-get when something is missing.
#   scripts/install-deps.sh          build, run, package and test packages
#   scripts/install-deps.sh --run    only what building and running needs
#   scripts/install-deps.sh --deb    what building the Debian package needs (make deb)
set -euo pipefail

run_pkgs=(
  cmake ninja-build g++ make pkg-config
  qt6-base-dev qt6-svg-dev qt6-wayland libgl-dev libxkbcommon-dev librsvg2-bin libqt6sql6-sqlite
  libjpeg62-turbo-dev libwmf-dev libemf2svg-dev libsane-dev libssh-dev libssl-dev scdoc
  qt6-image-formats-plugins libheif-dev
  # The password in the desktop keyring: QtKeychain loads libsecret at run time without
  # depending on it.
  qtkeychain-qt6-dev libsecret-1-0
  fonts-dejavu-core fonts-liberation fonts-urw-base35
)
deb_pkgs=(
  dpkg-dev lintian
)
test_pkgs=(
  libgtest-dev libgmock-dev clang-format
  xvfb xauth python3-pyftpdlib microsocks sane-utils
  imagemagick libjpeg-turbo-progs libvips-tools curl
  openssh-server openssh-client proftpd-core
  iproute2 iptables
  dbus python3-dbus python3-gi
  gnome-keyring
  desktop-file-utils appstream weston xdotool time
  debootstrap
)

pkgs=("${run_pkgs[@]}")
case "${1:-}" in
--run) ;;
--deb) pkgs+=("${deb_pkgs[@]}") ;;
*) pkgs+=("${deb_pkgs[@]}" "${test_pkgs[@]}") ;;
esac

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
