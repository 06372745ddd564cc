#!/usr/bin/env bash
# Benchmark (not a test): one request of 10 tiles on a 1920x1080 H.264 movie, end to
# end through the real service under Wine; prints the time per tile.
#   tools/bench_job.sh [build-dir]      (after tools/test.sh or tools/sample.sh built it)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
MOVIE="$BUILD_DIR/movies/bench_1920x1080_60s_h264.mp4"
if [ ! -s "$MOVIE" ]; then
  mkdir -p "$BUILD_DIR/movies"
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30:duration=60 \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 60 "$MOVIE"
fi
tools/run_job.sh "$BUILD_DIR" "$MOVIE" 10 "$BUILD_DIR/bench-strip.jpg"
