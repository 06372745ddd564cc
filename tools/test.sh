#!/usr/bin/env bash
# One command from a fresh clone to a finished test run: set-up, build, all tests.
#   tools/test.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
tools/build.sh "$BUILD_DIR"
# Includes run one way: entry, process state, window, job, frame source, dshow, common.
tools/include_order.py
export WINEPREFIX="$(cd "$BUILD_DIR" && pwd)/wineprefix"
# One wineserver for the whole run; every process it still serves ends with the run.
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT
/usr/lib/wine/wineserver -p >/dev/null 2>&1 </dev/null || true  # one may run already
# Start the prefix's background services now, detached from our output: started by a
# test they would inherit its output pipe and keep it open.
WINEDEBUG=-all /usr/lib/wine/wine64 wineboot >/dev/null 2>&1 </dev/null ||
  echo "test.sh: wineboot ended with code $?; the tests start the prefix themselves"
cd "$BUILD_DIR"
ctest --output-on-failure -j2 --timeout 300
