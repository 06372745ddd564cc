#!/usr/bin/env bash
# Soak run (not a test): requests of good, failing, stalling and crashing movies, and one
# hanging movie (the watchdog's five minutes), into one service under Wine, at most 8
# open at once, then one more to show that it still serves. Prints what became of them
# (lost: neither a final response nor a logged failure) and the service's restarts.
#   testing/soak.sh [build-dir] [requests=200] [seed=1]    (after tools/test.sh built everything)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="$(cd "${1:-build}" && pwd)"; TOTAL="${2:-200}"; RANDOM="${3:-1}"
export WINEPREFIX="$BUILD_DIR/wineprefix" WINEDEBUG=-all
WINE=/usr/lib/wine/wine64; MOVIES="$BUILD_DIR/movies"; WORK="$BUILD_DIR/soak-work"; CLIENT="soak$$"
to_win() { echo "Z:${1//\//\\}"; }
utf8() { iconv -f UTF-16LE -t UTF-8 "$WORK/$1" 2>/dev/null | tr -d '\r' || true; }
requester() { "$WINE" "$BUILD_DIR/bin/requester.exe" "$@" 2>/dev/null </dev/null; }
bash tools/make_test_movies.sh "$MOVIES" >/dev/null
rm -rf "$WORK"; mkdir -p "$WORK"
/usr/lib/wine/wineserver -p >/dev/null 2>&1 </dev/null || true  # may run already
"$WINE" wineboot >/dev/null 2>&1 </dev/null
"$WINE" regsvr32 /s "$(to_win "$BUILD_DIR/bin/fault_codec.dll")"
{ printf '\xff\xfe'; printf '[THUMBNAIL]\r\ndecode_frame_timeout_ms=500\r\ndecode_first_frame_timeout_ms=1000\r\n%s\r\n' \
    decode_periodic_restart_count=25 | iconv -f UTF-8 -t UTF-16LE; } > "$WORK/Thumbnail.ini"
"$WINE" "$BUILD_DIR/bin/requester.exe" listen "$CLIENT" 100000 --all > "$WORK/responses.txt" 2>/dev/null </dev/null &
LISTENER=$!
"$WINE" "$BUILD_DIR/bin/Tessaloom.exe" "$CLIENT" "$(to_win "$WORK")" >/dev/null 2>&1 </dev/null &
finish() {  # WM_CLOSE to the service's latest process, any process it left behind ended, and the listener
  local pid; pid=$(utf8 kestrel_dec_list.txt | grep -o '(exe-info) pid=[0-9]*' | tail -1 | cut -d= -f2)
  [[ -z $pid ]] || "$WINE" taskkill /pid "$pid" >/dev/null 2>&1 </dev/null || true
  "$WINE" taskkill /f /im Tessaloom.exe >/dev/null 2>&1 </dev/null || true
  kill "$LISTENER" 2>/dev/null || true
}
trap finish EXIT

fault() { printf 'TESSALOOM-FAULT-MOVIE\n%s\n' "$2" > "$WORK/$1.fault"; to_win "$WORK/$1.fault"; }
movie() {  # <kind> <id>
  case $1 in
    good) case $(($2 % 3)) in 0) to_win "$MOVIES/seconds_640x360_noaudio.mp4" ;;
            1) to_win "$MOVIES/seconds_640x360_mjpeg_pcm.avi" ;; *) fault "movie$2" "" ;; esac ;;
    failing) if (($2 % 2)); then to_win "$MOVIES/not_a_movie.mp4"; else to_win "$WORK/missing$2.mp4"; fi ;;
    stalling) fault "movie$2" "stall=1500-" ;;
    hanging) fault "movie$2" "hang=render" ;;
    crash-stream) fault "movie$2" "crash=stream" ;;
    crash-job) fault "movie$2" "crash=seek" ;;
  esac
}
send() {  # <id> <movie>: retried while the service is between two processes
  for _ in $(seq 150); do
    requester decode "$CLIENT" --type 0 --size 32 24 "$1" "$2" "$(to_win "$WORK/out$1.bmp")" 15000000 45000000 && return 0
    sleep 0.2
  done
  echo "soak: request $1 could not be delivered" >&2; return 1
}
finals() { sed -n 's/^request_id=\([0-9]*\) .* decode_count=0 .*/\1/p' "$WORK/responses.txt"; }

declare -A KIND MOVIE COUNT
next=1; began=$SECONDS; quiet_since=$SECONDS; last=""
while :; do
  done_ids=" $(finals | tr '\n' ' ') "; errors=$(utf8 kestrel_err_list.txt); open=0
  for ((id = 1; id < next; id++)); do
    [[ $done_ids == *" $id "* || (${KIND[$id]} == crash-job && $errors == *"${MOVIE[$id]}"*) ]] || open=$((open + 1))
  done
  ((next > TOTAL && open == 0)) && break
  if [[ "$open $done_ids" != "$last" ]]; then last="$open $done_ids"; quiet_since=$SECONDS
  elif ((SECONDS - quiet_since > 400)); then echo "soak: no progress for 400 s" >&2; break; fi
  if ((next <= TOTAL && open < 8)); then
    r=$((RANDOM % 100))
    if ((next == TOTAL / 2)); then kind=hanging; elif ((r < 60)); then kind=good; elif ((r < 71)); then kind=failing
    elif ((r < 86)); then kind=stalling; elif ((r < 93)); then kind=crash-stream; else kind=crash-job; fi
    KIND[$next]=$kind; MOVIE[$next]=$(movie "$kind" "$next"); COUNT[$kind]=$((${COUNT[$kind]:-0} + 1))
    send "$next" "${MOVIE[$next]}" || break
    next=$((next + 1)); continue
  fi
  sleep 0.5
done

# The service still serves: one more good request is answered.
ping=$((TOTAL + 1)); serving=no
if send "$ping" "$(fault ping "")"; then
  for _ in $(seq 120); do finals | grep -qx "$ping" && { serving=yes; break; }; sleep 0.5; done
fi
errors=$(utf8 kestrel_err_list.txt); list=$(utf8 kestrel_dec_list.txt)
finished=0; twice=0; listed=0; lost=0
for ((id = 1; id < next; id++)); do
  n=$(finals | grep -cx "$id" || true)
  if ((n > 0)); then finished=$((finished + 1)); ((n == 1)) || twice=$((twice + 1))
  elif [[ ${KIND[$id]} == crash-job && $errors == *"${MOVIE[$id]}"* ]]; then listed=$((listed + 1))
  else lost=$((lost + 1)); echo "soak: request $id (${KIND[$id]}) has no final response nor logged failure" >&2; fi
done
count() { grep -c "$1" <<<"$list" || true; }
kinds=""; for k in "${!COUNT[@]}"; do kinds+="${kinds:+, }$k ${COUNT[$k]}"; done
echo "requests sent: $((next - 1)) in $((SECONDS - began)) s ($kinds)"
echo "final responses: $finished (more than one for the same request: $twice)"
echo "logged failures without a response (given up after 3 job faults): $listed"
echo "requests lost: $lost"
echo "service processes: $(count '(exe-info) pid='); restarts: crash $(count 例外発生による再起動)," \
     "watchdog $(count 無応答による再起動), periodic $(count 定期デコードによる再起動)"
echo "service still serving: $serving"
[[ $lost == 0 && $twice == 0 && $serving == yes && $next -gt $TOTAL ]]
