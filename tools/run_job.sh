#!/usr/bin/env bash
# Runs one thumbnail request through the real service under Wine: starts Tessaloom,
# sends the request with the requester tool, prints every progress response and the
# time per tile, then ends the service.
#   tools/run_job.sh <build-dir> <movie> <tiles> <output-image>
set -euo pipefail
BUILD_DIR="$(cd "$1" && pwd)"; MOVIE="$(realpath "$2")"; TILES="$3"; OUT="$(realpath -m "$4")"
export WINEPREFIX="$BUILD_DIR/wineprefix" WINEDEBUG=-all
WINE=/usr/lib/wine/wine64
to_win() { echo "Z:${1//\//\\}"; }
WORK="$BUILD_DIR/job-work"
rm -rf "$WORK"; mkdir -p "$WORK"
/usr/lib/wine/wineserver -p >/dev/null 2>&1 </dev/null || true  # one may run already
"$WINE" wineboot >/dev/null 2>&1 </dev/null
CLIENT="job$$"
"$WINE" "$BUILD_DIR/bin/Tessaloom.exe" "$CLIENT" "$(to_win "$WORK")" >/dev/null 2>&1 &
SERVICE=$!
trap 'kill $SERVICE 2>/dev/null || true' EXIT
# Ready once its first start message was handled (the pipe exists by then).
for _ in $(seq 300); do
  iconv -f UTF-16LE -t UTF-8 "$WORK/kestrel_seq.txt" 2>/dev/null | grep -q WM_DECODE_START && break
  sleep 0.1
done
"$WINE" "$BUILD_DIR/bin/requester.exe" listen "$CLIENT" 600 > "$WORK/responses.txt" 2>&1 &
LISTENER=$!
for _ in $(seq 200); do grep -q listening "$WORK/responses.txt" 2>/dev/null && break; sleep 0.1; done
POSITIONS=$(for _ in $(seq "$TILES"); do printf -- '-1 '; done)
START=$(date +%s.%N)
# shellcheck disable=SC2086
if ! "$WINE" "$BUILD_DIR/bin/requester.exe" decode "$CLIENT" --type 1 1 "$(to_win "$MOVIE")" "$(to_win "$OUT")" $POSITIONS; then
  echo "run_job: the request could not be delivered to the service" >&2
  exit 1
fi
wait $LISTENER || true
END=$(date +%s.%N)
grep request_id "$WORK/responses.txt" || true
ANSWERED=$(grep -c 'request_id=1' "$WORK/responses.txt" || true)
awk -v s="$START" -v e="$END" -v t="$ANSWERED" -v n="$TILES" 'BEGIN {
  printf "tiles answered: %d of %d, total %.2f s", t, n, e - s
  if (t > 0) printf ", %.0f ms per tile", (e - s) * 1000 / t
  printf "\n" }'
echo "strip image: $OUT"
[ "$ANSWERED" -eq "$TILES" ]
