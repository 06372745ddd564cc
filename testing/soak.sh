#!/usr/bin/env bash
# Soak run (not a test): 200 requests of mixed good, failing, stalling, hanging and
# crashing movies into one service under Wine; prints the counts.
#   testing/soak.sh [build-dir] [requests] [seed]    (after tools/test.sh built everything)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="$(cd "${1:-build}" && pwd)"
export WINEPREFIX="$BUILD_DIR/wineprefix" WINEDEBUG=-all
WINE=/usr/lib/wine/wine64
to_win() { echo "Z:${1//\//\\}"; }
bash tools/make_test_movies.sh "$BUILD_DIR/movies"
WORK="$BUILD_DIR/soak-work"
rm -rf "$WORK"; mkdir -p "$WORK"
/usr/lib/wine/wineserver -p >/dev/null 2>&1 </dev/null || true  # may run already
"$WINE" wineboot >/dev/null 2>&1 </dev/null
"$WINE" regsvr32 /s "$(to_win "$BUILD_DIR/bin/fault_codec.dll")"
"$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bin/soak.exe" "$(to_win "$WORK")" "$(to_win "$BUILD_DIR/movies")" "${2:-200}" "${3:-1}" \
  | grep -v -e "GStreamer-CRITICAL" -e "^[0-9]*$"  # noise: Wine's GStreamer glue on failing files, pipe errors of retried sends
