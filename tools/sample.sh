#!/usr/bin/env bash
# From a fresh clone: set-up, build, then the main job on a built-in sample movie
# (made here with ffmpeg): an 8-frame strip written to build/sample-strip.jpg.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
tools/build.sh "$BUILD_DIR" >/dev/null
bash tools/make_test_movies.sh "$BUILD_DIR/movies"
trap 'WINEPREFIX="$(cd "$BUILD_DIR" && pwd)/wineprefix" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT
tools/run_job.sh "$BUILD_DIR" "$BUILD_DIR/movies/testsrc2_640x360_h264.mp4" 8 "$BUILD_DIR/sample-strip.jpg"
