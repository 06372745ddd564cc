#!/usr/bin/env bash
# From a fresh clone: set-up, build, a sample movie (made here with ffmpeg), then
# Snapwick under Wine on it as its users run it: 8 frames, evenly spaced. Prints where
# the frame files are and what the outside program (the velmar.exe stand-in) was
# called with.
#   tools/sample.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
tools/build.sh "$BUILD_DIR" >/dev/null
bash tools/make_test_movies.sh "$BUILD_DIR/movies"
BUILD_DIR="$(cd "$BUILD_DIR" && pwd)"
export WINEPREFIX="$BUILD_DIR/wineprefix" WINEDEBUG=-all
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT
to_win() { echo "Z:${1//\//\\}"; }
MOVIE="$BUILD_DIR/movies/testsrc2_640x360_h264.mp4"
OUT="$BUILD_DIR/sample-out"
rm -rf "$OUT"; mkdir -p "$OUT"
rm -f "$BUILD_DIR/bin/velmar_calls.txt"
echo "Snapwick $(to_win "$MOVIE") $(to_win "$OUT")\\thumb.jpg 8 normal"
set +e
"$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bin/Snapwick.exe" "$(to_win "$MOVIE")" "$(to_win "$OUT")\\thumb.jpg" 8 normal
CODE=$?
set -e
echo "exit code: $CODE"
echo "frame files in $OUT:"
ls -1 "$OUT"
echo "the outside program was called as:"
if [ -s "$BUILD_DIR/bin/velmar_calls.txt" ]; then
  paste -d' ' - - - - < "$BUILD_DIR/bin/velmar_calls.txt" | sed 's/^/  velmar.exe /'
else
  echo "  (not called)"
fi
[ "$CODE" -eq 0 ] && [ "$(ls "$OUT" | wc -l)" -eq 8 ]
