#!/bin/sh
# Usage: bench/progressbar.sh BUILD_DIR — prints render and update costs of the progress bar.
set -e
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$1/bench/progressbar"
