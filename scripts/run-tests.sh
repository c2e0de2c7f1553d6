#!/usr/bin/env bash
# Runs the whole CTest suite inside one Xvfb server; tests that do not need X set
# QT_QPA_PLATFORM=offscreen themselves (see tests/CMakeLists.txt).
set -euo pipefail
build=${1:-build}
export SANE_CONFIG_DIR=${SANE_CONFIG_DIR:-$(cd "$(dirname "$0")/.." && pwd)/tests/twain/sane}
exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
  ctest --test-dir "$build" --no-tests=error --output-on-failure --timeout 600 -j "$(nproc)"
