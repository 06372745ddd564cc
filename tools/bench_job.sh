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

# Snapwick end to end (service start, 8 evenly spaced frames, frame files, the outside
# program, service stop) beside ffmpeg making the same 8 frames with accurate seeking.
export WINEPREFIX="$(cd "$BUILD_DIR" && pwd)/wineprefix" WINEDEBUG=-all
to_win() { echo "Z:${1//\//\\}"; }
OUT="$(cd "$BUILD_DIR" && pwd)/bench-frames"
rm -rf "$OUT"; mkdir -p "$OUT/snapwick" "$OUT/ffmpeg"
DURATION=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$MOVIE")
START=$(date +%s.%N)
"$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bin/Snapwick.exe" "$(to_win "$(realpath "$MOVIE")")" \
  "$(to_win "$OUT/snapwick")\\f.jpg" 8 normal >/dev/null
MIDDLE=$(date +%s.%N)
for j in $(seq 0 7); do
  T=$(awk -v d="$DURATION" -v j="$j" 'BEGIN { printf "%.3f", d * (2 * j + 1) / 16 }')
  ffmpeg -nostdin -v error -y -accurate_seek -ss "$T" -i "$MOVIE" -frames:v 1 "$OUT/ffmpeg/f_$j.jpg"
done
END=$(date +%s.%N)
awk -v s="$START" -v m="$MIDDLE" -v e="$END" -v a="$(ls "$OUT/snapwick" | wc -l)" -v b="$(ls "$OUT/ffmpeg" | wc -l)" \
  'BEGIN { printf "8 frames of 1920x1080: Snapwick end to end %.2f s (%d files), ffmpeg accurate seek %.2f s (%d files)\n", m - s, a, e - m, b }'
