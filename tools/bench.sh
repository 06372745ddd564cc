#!/usr/bin/env bash
# Benchmark (not a test): the service and Snapwick beside ffmpegthumbnailer (keyframe
# seek) and ffmpeg (accurate seek) making the same frames of one movie: 60 s of
# 1920x1080 H.264/AAC with a keyframe every 250 frames. The runs alternate, three
# rounds; prints the medians, the ratios against the targets and the load average.
#   tools/bench.sh [build-dir]        (builds first; run it on an otherwise quiet machine)
#
# The service is timed from its intake of a request to its final response (its own
# log), after one request to warm it up; Snapwick from its start to its end, service
# start, eight velmar.exe calls and update check (switched off: no update server) included.
# The service and Snapwick run with "decode_parallel" automatic and again with 1 (one
# frame source, as before), in the same rounds. Beside each time: how many cores were
# busy meanwhile (the whole machine's busy time over the wall time, so run it quiet),
# and for the service's jobs the peak resident memory of the service during the job.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
tools/build.sh "$BUILD_DIR" >/dev/null
if ! command -v ffmpegthumbnailer >/dev/null; then
  echo "bench: installing ffmpegthumbnailer"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends ffmpegthumbnailer >/dev/null
fi
BUILD_DIR="$(cd "$BUILD_DIR" && pwd)"
BENCH="$BUILD_DIR/bench"
mkdir -p "$BENCH"
MOVIE="$BENCH/movie_1920x1080_60s_h264_aac_gop250.mp4"
if [ ! -s "$MOVIE" ]; then
  echo "bench: making the movie (once)"
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=60 \
    -f lavfi -i sine=frequency=440:duration=60 -c:v libx264 -preset veryfast -pix_fmt yuv420p \
    -g 250 -keyint_min 250 -sc_threshold 0 -c:a aac -shortest "$MOVIE.part.mp4"
  mv "$MOVIE.part.mp4" "$MOVIE"
fi

# A prefix of its own, whose Documents folder (Snapwick's work folder) set-up makes a
# folder inside the prefix.
tools/setup.sh "$BENCH" >/dev/null
export WINEPREFIX="$BENCH/wineprefix" WINEDEBUG=-all
WINE=/usr/lib/wine/wine64
DOCS="$WINEPREFIX/drive_c/users/$(id -un)/Documents"
mkdir -p "$DOCS/Snapwick"
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT
/usr/lib/wine/wineserver -p >/dev/null 2>&1 </dev/null || true
"$WINE" wineboot >/dev/null 2>&1 </dev/null
to_win() { echo "Z:${1//\//\\}"; }
now() { date +%s.%N; }
# A Unicode ini file with one section.
write_ini() {  # path section key=value...
  local path="$1" section="$2"; shift 2
  { printf '\xff\xfe'; printf '[%s]\r\n' "$section" | iconv -t UTF-16LE
    for kv in "$@"; do printf '%s\r\n' "$kv" | iconv -t UTF-16LE; done; } > "$path"
}
write_ini "$DOCS/Snapwick/Snapwick.ini" VERSION notify=1

# The service, for the requests of this run.
WORK="$BENCH/service-work"
rm -rf "$WORK"; mkdir -p "$WORK"
CLIENT="bench$$"
"$WINE" "$BUILD_DIR/bin/Tessaloom.exe" "$CLIENT" "$(to_win "$WORK")" >/dev/null 2>&1 &
SERVICE_PID=$!
for _ in $(seq 300); do
  iconv -f UTF-16LE -t UTF-8 "$WORK/kestrel_seq.txt" 2>/dev/null | grep -q WM_DECODE_START && break
  sleep 0.1
done
# Busy and total jiffies of the whole machine.
cpu_ticks() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 + $9, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9 }' /proc/stat; }
# Cores busy between two cpu_ticks readings.
cores_busy() {  # "busy total" "busy total"
  awk -v a="$1" -v b="$2" -v n="$(nproc)" 'BEGIN { split(a, x, " "); split(b, y, " ");
    t = y[2] - x[2]; if (t <= 0) print "nan"; else printf "%.2f\n", n * (y[1] - x[1]) / t }'
}
# Samples the resident memory of a process (MB) until the stop file appears; prints the
# peak and how far it rose above the first sample.
peak_rss() {  # pid stop-file; prints "peak/rise"
  local peak=0 kb start
  start=$(awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0)
  while [ ! -e "$2" ]; do
    kb=$(awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0)
    [ "${kb:-0}" -gt "$peak" ] && peak=$kb
    sleep 0.05
  done
  awk -v k="$peak" -v s="${start:-0}" 'BEGIN { printf "%.0f/%.0f\n", k / 1024, (k - s) / 1024 }'
}
# Request n (1, 2, ...) of 10 tiles of 160x90 in the given mode; prints its seconds
# from intake (the service's n-th "受付" line) to its final response (logged before
# it is sent, so that the line is there once the listener has it), the cores busy
# and the service's peak memory meanwhile.
service_request() {  # n seek_to_keyframe decode_parallel
  local REQUEST="$1"
  write_ini "$WORK/Thumbnail.ini" THUMBNAIL "seek_to_keyframe=$2" "decode_parallel=$3"
  rm -f "$WORK/sampled" "$WORK/stop-sampling"
  peak_rss "$SERVICE_PID" "$WORK/stop-sampling" > "$WORK/sampled" &
  local sampler=$! ticks; ticks=$(cpu_ticks)
  "$WINE" "$BUILD_DIR/bin/requester.exe" listen "$CLIENT" 120 > "$WORK/listen.txt" 2>&1 &
  local listener=$!
  for _ in $(seq 200); do grep -q listening "$WORK/listen.txt" 2>/dev/null && break; sleep 0.1; done
  # shellcheck disable=SC2046
  "$WINE" "$BUILD_DIR/bin/requester.exe" decode "$CLIENT" --type 1 --size 160 90 "$REQUEST" "$(to_win "$MOVIE")" \
    "$(to_win "$BENCH/service-strip.jpg")" $(printf -- '-1 %.0s' $(seq 10)) >/dev/null
  wait "$listener" || true
  local busy; busy=$(cores_busy "$ticks" "$(cpu_ticks)")
  touch "$WORK/stop-sampling"; wait "$sampler" || true
  local seconds; seconds=$(iconv -f UTF-16LE -t UTF-8 "$WORK/kestrel_dec_list.txt" | awk -v n="$REQUEST" '
    function ms(line) { split(substr(line, 12, 12), t, /[:.]/); return ((t[1] * 60 + t[2]) * 60 + t[3]) * 1000 + t[4] }
    /受付\(/ { if (++seen == n) start = ms($0) }
    index($0, "(response) send-start request_id=" n " decode_count=0 ") { end = ms($0) }
    END { d = end - start; if (d < 0) d += 86400000; if (!start || !end) print "nan"; else printf "%.3f\n", d / 1000 }')
  echo "$seconds/$busy/$(cat "$WORK/sampled")"
}

# Snapwick end to end, 8 evenly spaced frames; prints its seconds ("nan" without all 8 files).
snapwick_run() {  # seek_to_keyframe decode_parallel
  write_ini "$DOCS/Snapwick/Thumbnail.ini" THUMBNAIL "seek_to_keyframe=$1" "decode_parallel=$2"
  local out="$BENCH/snapwick-out"
  rm -rf "$out"; mkdir -p "$out"
  local ticks; ticks=$(cpu_ticks)
  local start; start=$(now)
  "$WINE" "$BUILD_DIR/bin/Snapwick.exe" "$(to_win "$MOVIE")" "$(to_win "$out")\\f.jpg" 8 normal >/dev/null 2>&1 </dev/null || true
  local end; end=$(now)
  local busy; busy=$(cores_busy "$ticks" "$(cpu_ticks)")
  [ "$(ls "$out" | wc -l)" -eq 8 ] && awk -v s="$start" -v e="$end" -v b="$busy" 'BEGIN { printf "%.3f/%s\n", e - s, b }' || echo "nan/$busy"
}

# The planned positions of the service: the middles of count equal slices of the movie.
positions() { awk -v n="$1" 'BEGIN { for (i = 0; i < n; i++) printf "%.3f\n", 60 * (2 * i + 1) / (2 * n) }'; }
hms() { awk -v s="$1" 'BEGIN { printf "00:%02d:%06.3f", int(s / 60), s - 60 * int(s / 60) }'; }
# Outside programs making the same frames, one process per frame as thumbnailers run.
thumbnailer_run() {  # count size(0 = full)
  local out="$BENCH/outside-out"; rm -rf "$out"; mkdir -p "$out"
  local ticks; ticks=$(cpu_ticks)
  local start; start=$(now)
  for t in $(positions "$1"); do ffmpegthumbnailer -i "$MOVIE" -o "$out/f_$t.jpg" -t "$(hms "$t")" -s "$2" 2>/dev/null; done
  awk -v s="$start" -v e="$(now)" -v b="$(cores_busy "$ticks" "$(cpu_ticks)")" 'BEGIN { printf "%.3f/%s\n", e - s, b }'
}
ffmpeg_run() {  # count scale arguments...
  local count="$1"; shift
  local out="$BENCH/outside-out"; rm -rf "$out"; mkdir -p "$out"
  local ticks; ticks=$(cpu_ticks)
  local start; start=$(now)
  for t in $(positions "$count"); do
    ffmpeg -nostdin -v error -y -accurate_seek -ss "$t" -i "$MOVIE" -frames:v 1 "$@" "$out/f_$t.jpg"
  done
  awk -v s="$start" -v e="$(now)" -v b="$(cores_busy "$ticks" "$(cpu_ticks)")" 'BEGIN { printf "%.3f/%s\n", e - s, b }'
}

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
service_request 1 0 0 >/dev/null  # warm-up: the first request of a process loads the codecs
NAMES=(svc_exact svc_exact1 svc_key svc_key1 ftn10 ff10 snap_exact snap_exact1 snap_key snap_key1 ftn8 ff8)
declare -A RUNS
for round in 1 2 3; do
  echo "bench: round $round of 3" >&2
  first=$((4 * round - 2))  # request 1 was the warm-up
  RUNS[svc_exact]+=" $(service_request $first 0 0)"
  RUNS[svc_exact1]+=" $(service_request $((first + 1)) 0 1)"
  RUNS[svc_key]+=" $(service_request $((first + 2)) 1 0)"
  RUNS[svc_key1]+=" $(service_request $((first + 3)) 1 1)"
  RUNS[ftn10]+=" $(thumbnailer_run 10 160)"
  RUNS[ff10]+=" $(ffmpeg_run 10 -s 160x90)"
  RUNS[snap_exact]+=" $(snapwick_run 0 0)"
  RUNS[snap_exact1]+=" $(snapwick_run 0 1)"
  RUNS[snap_key]+=" $(snapwick_run 1 0)"
  RUNS[snap_key1]+=" $(snapwick_run 1 1)"
  RUNS[ftn8]+=" $(thumbnailer_run 8 0)"
  RUNS[ff8]+=" $(ffmpeg_run 8)"
done
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)
declare -p RUNS > "$BENCH/runs.txt"

# Field f (1 seconds, 2 cores busy, 3 peak MB, 4 its rise over the job's start) of each run.
field() { tr ' ' '\n' <<<"$1" | awk -F/ -v f="$2" 'NF { print $f }'; }
median() { sort -g | awk 'NF && $1 != "nan" { v[++n] = $1 } END { if (n) print v[int((n + 1) / 2)]; else print "nan" }'; }
declare -A MEDIAN BUSY PEAK RISE
for n in "${NAMES[@]}"; do
  MEDIAN[$n]=$(field "${RUNS[$n]}" 1 | median)
  BUSY[$n]=$(field "${RUNS[$n]}" 2 | median)
  PEAK[$n]=$(field "${RUNS[$n]}" 3 | median)
  RISE[$n]=$(field "${RUNS[$n]}" 4 | median)
done
label() {
  case "$1" in
    svc_exact) echo "service, exact, 10 tiles of 160x90";;
    svc_exact1) echo "  the same, decode_parallel=1";;
    svc_key) echo "service, keyframe, 10 tiles of 160x90";;
    svc_key1) echo "  the same, decode_parallel=1";;
    ftn10) echo "ffmpegthumbnailer, 10 frames 160 wide";;
    ff10) echo "ffmpeg accurate seek, 10 frames 160x90";;
    snap_exact) echo "Snapwick, exact, 8 frames";;
    snap_exact1) echo "  the same, decode_parallel=1";;
    snap_key) echo "Snapwick, keyframe, 8 frames";;
    snap_key1) echo "  the same, decode_parallel=1";;
    ftn8) echo "ffmpegthumbnailer, 8 full-size frames";;
    ff8) echo "ffmpeg accurate seek, 8 full-size frames";;
  esac
}
echo "movie: $MOVIE"
echo "load average before: $LOAD_BEFORE, after: $LOAD_AFTER ($(nproc) cores)"
printf '%-42s %8s %6s %8s %6s   %s\n' "work" "median s" "cores" "peak MB" "rise" "runs (s/cores busy[/peak MB/rise MB])"
for n in "${NAMES[@]}"; do
  peak="${PEAK[$n]}" rise="${RISE[$n]}"; [[ "$n" == svc_* ]] || { peak="-"; rise="-"; }
  printf '%-42s %8s %6s %8s %6s  %s\n' "$(label "$n")" "${MEDIAN[$n]}" "${BUSY[$n]}" "$peak" "$rise" "${RUNS[$n]}"
done
echo
printf '%-58s %6s %8s\n' "ratio" "value" "target"
ratio() {  # text numerator denominator target
  awk -v t="$1" -v a="$2" -v b="$3" -v g="$4" 'BEGIN {
    if (a == "nan" || b == "nan" || b == 0) { printf "%-58s %6s %8s  no figure\n", t, "-", "<= " g; exit }
    r = a / b; printf "%-58s %6.2f %8s  %s\n", t, r, "<= " g, (r <= g ? "met" : "NOT met") }'
}
ratio "service exact / ffmpeg accurate (10 tiles)" "${MEDIAN[svc_exact]}" "${MEDIAN[ff10]}" 0.8
ratio "  decode_parallel=1" "${MEDIAN[svc_exact1]}" "${MEDIAN[ff10]}" 0.8
ratio "service keyframe / ffmpegthumbnailer (10 tiles)" "${MEDIAN[svc_key]}" "${MEDIAN[ftn10]}" 0.7
ratio "  decode_parallel=1" "${MEDIAN[svc_key1]}" "${MEDIAN[ftn10]}" 0.7
ratio "Snapwick exact / ffmpeg accurate (8 frames)" "${MEDIAN[snap_exact]}" "${MEDIAN[ff8]}" 1.2
ratio "  decode_parallel=1" "${MEDIAN[snap_exact1]}" "${MEDIAN[ff8]}" 1.2
ratio "Snapwick keyframe / ffmpegthumbnailer (8 frames)" "${MEDIAN[snap_key]}" "${MEDIAN[ftn8]}" 2.5
ratio "  decode_parallel=1" "${MEDIAN[snap_key1]}" "${MEDIAN[ftn8]}" 2.5
ratio "service peak memory, exact: automatic / decode_parallel=1" "${PEAK[svc_exact]}" "${PEAK[svc_exact1]}" 1.5
ratio "service peak memory, keyframe: automatic / decode_parallel=1" "${PEAK[svc_key]}" "${PEAK[svc_key1]}" 1.5
ratio "  the rise during the job, exact" "${RISE[svc_exact]}" "${RISE[svc_exact1]}" 1.5
ratio "  the rise during the job, keyframe" "${RISE[svc_key]}" "${RISE[svc_key1]}" 1.5
