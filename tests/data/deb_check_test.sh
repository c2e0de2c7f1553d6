#!/usr/bin/env bash
# The Debian package on a clean Debian 12 (`make deb-check`), when IMGLIFT_DEB_CHECK=1 asks for
# it: it builds the package from a release build of its own and needs root and the network
# to the Debian mirror, which an ordinary test run should not. Exit 77 (skipped) otherwise.
#   deb_check_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=${1:?usage: deb_check_test.sh BUILD_DIR SOURCE_DIR}
src=${2:?usage: deb_check_test.sh BUILD_DIR SOURCE_DIR}
[ "${IMGLIFT_DEB_CHECK:-}" = 1 ] || { echo "SKIP: set IMGLIFT_DEB_CHECK=1 to check the package"; exit 77; }
[ "$(id -u)" -eq 0 ] || { echo "SKIP: the package check needs root"; exit 77; }
exec make -C "$src" deb-check DEB_CACHE="$build/deb-check"
