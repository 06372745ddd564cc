#!/usr/bin/env bash
# Makes the test movies with ffmpeg (host side). Idempotent: existing movies are kept.
#   tools/make_test_movies.sh <output-dir>
set -euo pipefail
OUT="${1:?output dir}"
mkdir -p "$OUT"
make() {  # name, ffmpeg arguments...
  local name="$1"; shift
  [ -s "$OUT/$name" ] && return 0
  ffmpeg -nostdin -v error -y "$@" "$OUT/$name.part.${name##*.}" && mv "$OUT/$name.part.${name##*.}" "$OUT/$name"
}
# 12 s of colour blocks, one colour per second (the picture encodes the time).
COLORS=(0xFF0000 0x00FF00 0x0000FF 0xFFFF00 0xFF00FF 0x00FFFF 0xFFFFFF 0x808080 0x800000 0x008000 0x000080 0x808000)
seconds_filter() {  # size
  local inputs="" concat=""
  for i in "${!COLORS[@]}"; do
    inputs+="color=c=${COLORS[$i]}:s=$1:r=25:d=1[c$i];"
    concat+="[c$i]"
  done
  echo "${inputs}${concat}concat=n=${#COLORS[@]}:v=1:a=0[v]"
}
make seconds_640x360_h264_aac.mp4 -filter_complex "$(seconds_filter 640x360)" -f lavfi -i sine=frequency=440:duration=12 \
  -map '[v]' -map 0:a -c:v libx264 -pix_fmt yuv420p -g 25 -c:a aac -shortest
make seconds_640x360_noaudio.mp4 -filter_complex "$(seconds_filter 640x360)" -map '[v]' -c:v libx264 -pix_fmt yuv420p -g 25
make seconds_1920x1080_h264.mp4 -filter_complex "$(seconds_filter 1920x1080)" -map '[v]' -c:v libx264 -pix_fmt yuv420p -g 25
# A keyframe every 4 s only (0, 4, 8 s): a keyframe differs in colour from most positions after it.
make seconds_640x360_gop4s.mp4 -filter_complex "$(seconds_filter 640x360)" -map '[v]' -c:v libx264 -pix_fmt yuv420p \
  -g 100 -keyint_min 100 -sc_threshold 0
make seconds_322x242_h264.mp4 -filter_complex "$(seconds_filter 322x242)" -map '[v]' -c:v libx264 -pix_fmt yuv420p -g 25
make seconds_640x360_mjpeg_pcm.avi -filter_complex "$(seconds_filter 640x360)" -f lavfi -i sine=frequency=440:duration=12 \
  -map '[v]' -map 0:a -c:v mjpeg -q:v 3 -c:a pcm_s16le -shortest
make seconds_640x360_vp9.webm -filter_complex "$(seconds_filter 640x360)" -map '[v]' -c:v libvpx-vp9 -b:v 300k -deadline realtime -cpu-used 8
make seconds_640x360_wmv2_wma.wmv -filter_complex "$(seconds_filter 640x360)" -f lavfi -i sine=frequency=440:duration=12 \
  -map '[v]' -map 0:a -c:v wmv2 -b:v 1M -g 25 -c:a wmav2 -shortest
# MPEG-2 program stream, every frame a keyframe. Wine's demuxer seeks program streams only
# approximately (a few tenths of a second) and its decoder then resumes at the next keyframe,
# so with longer GOPs or B-frames the frame shown can be up to a GOP late, or missing near the end.
make seconds_640x360_mpeg2_mp2.mpg -filter_complex "$(seconds_filter 640x360)" -f lavfi -i sine=frequency=440:duration=12 \
  -map '[v]' -map 0:a -c:v mpeg2video -q:v 4 -g 1 -c:a mp2 -shortest -f vob
# An MP4 of the fault codec's own brand: DirectShow picks the fault codec for it by its
# first bytes (and it stalls), Media Foundation decodes it.
make seconds_640x360_fault_brand.mp4 -filter_complex "$(seconds_filter 640x360)" -map '[v]' -c:v libx264 -pix_fmt yuv420p -g 25 -brand TSFC
# Black stretches: 0-2 s black, then red to 3 s, green to 6 s, black to 9.5 s, blue to 12 s.
make blank_stretches_640x360_h264.mp4 -filter_complex \
  "color=c=black:s=640x360:r=25:d=2[a];color=c=red:s=640x360:r=25:d=1[b];color=c=0x00FF00:s=640x360:r=25:d=3[c];color=c=black:s=640x360:r=25:d=3.5[d];color=c=blue:s=640x360:r=25:d=2.5[e];[a][b][c][d][e]concat=n=5:v=1:a=0[v]" \
  -map '[v]' -c:v libx264 -pix_fmt yuv420p -g 25
# Each frame shows its number in binary: ten stripes 40 px wide, bit 0 on the left, white
# for 1. B-frames (so an edit list) and a keyframe every 2 s.
make frame_numbers_400x40_h264.mp4 -f lavfi \
  -i "nullsrc=s=400x40:r=25:d=12,format=yuv420p,geq=lum='255*mod(floor(N/pow(2,floor(X/40))),2)':cb=128:cr=128" \
  -c:v libx264 -pix_fmt yuv420p -g 50 -keyint_min 50 -sc_threshold 0
# The same for 4 s at variable frame rate: frame 50 lasts from 2 s to 3 s, the others 40 ms.
make frame_numbers_long_frame_400x40_h264.mp4 -f lavfi \
  -i "nullsrc=s=400x40:r=25:d=4,format=yuv420p,geq=lum='255*mod(floor(N/pow(2,floor(X/40))),2)':cb=128:cr=128,setpts='PTS+gte(N,51)*24/(25*TB)'" \
  -c:v libx264 -pix_fmt yuv420p -g 250 -fps_mode passthrough
make testsrc2_640x360_h264.mp4 -f lavfi -i testsrc2=size=640x360:rate=25:duration=12 -c:v libx264 -pix_fmt yuv420p -g 25
# Movies whose pictures players turn or widen, 4 s each, from the asymmetric testsrc2 picture so
# that a wrong turn or a mirror shows. Names say how players show them: rotated90 is turned
# 90 degrees clockwise. ffmpeg writes the display matrix only when copying the stream, and
# 5.1's "rotate" tag turns the other way (counterclockwise): rotate=270 makes a clockwise 90.
SRC="$OUT/testsrc2_640x360_h264.mp4"
make rotated90_640x360_h264.mp4 -i "$SRC" -t 4 -c copy -metadata:s:v:0 rotate=270
make rotated180_640x360_h264.mp4 -i "$SRC" -t 4 -c copy -metadata:s:v:0 rotate=180
make rotated270_640x360_h264.mp4 -i "$SRC" -t 4 -c copy -metadata:s:v:0 rotate=90
make rotated90_640x360_h264.mov -i "$SRC" -t 4 -c copy -metadata:s:v:0 rotate=270
# Anamorphic PAL: 720x576 stored, pixels 64:45 wide, shown as 1024x576. The MP4 carries a
# 'pasp' box; ffmpeg's Matroska writer gives the display size as the aspect ratio 16:9
# (DisplayUnit 3).
make anamorphic_720x576_par64x45_h264.mp4 -f lavfi -i testsrc2=size=720x576:rate=25:duration=4 -vf setsar=64/45 \
  -c:v libx264 -pix_fmt yuv420p -g 25
make anamorphic_720x576_par64x45_h264.mkv -i "$OUT/anamorphic_720x576_par64x45_h264.mp4" -c copy
# What a player shows of each at 1.5 s: ffmpeg's own decode turns by the display matrix,
# and the scale makes its pixels square.
for movie in rotated90_640x360_h264.mp4 rotated180_640x360_h264.mp4 rotated270_640x360_h264.mp4 \
             rotated90_640x360_h264.mov anamorphic_720x576_par64x45_h264.mp4 anamorphic_720x576_par64x45_h264.mkv; do
  make "$movie.shown.png" -ss 1.5 -i "$OUT/$movie" -frames:v 1 -vf 'scale=iw*sar:ih,setsar=1'
done
# Not a movie at all: plain text, the same in every run. Random bytes differ per build tree,
# and once crashed a whole test process (a Unix segmentation fault, exit code 139) while
# Media Foundation probed them.
# (yes ends by SIGPIPE when head has enough: outside the pipeline, that is not a failure.)
[ -s "$OUT/not_a_movie.mp4" ] || head -c 65536 < <(yes 'This is not a movie.') > "$OUT/not_a_movie.mp4"
