#!/usr/bin/env bash
# Packs the files that go side by side on a Windows machine into one ZIP: both
# programs, the error image, the operator tools, a sample ini of each program and a
# short text on deployment.
#   tools/package.sh [--no-build] [build-dir] [zip]     (zip: <build-dir>/Tessaloom.zip)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=1
if [ "${1:-}" = "--no-build" ]; then BUILD=0; shift; fi
BUILD_DIR="${1:-build}"
[ "$BUILD" = 1 ] && tools/build.sh "$BUILD_DIR" >/dev/null
ZIP="$(realpath -m "${2:-$BUILD_DIR/Tessaloom.zip}")"
STAGE="$(mktemp -d)"
trap 'rm -rf "$STAGE"' EXIT
for f in Snapwick.exe Tessaloom.exe decode_err_image.JPG requester.exe frame_dump.exe; do
  cp "$BUILD_DIR/bin/$f" "$STAGE/"
done
# The ini files are UTF-16LE with a byte-order mark, so that Windows keeps them Unicode.
for f in Snapwick.ini Thumbnail.ini; do
  { printf '\xff\xfe'; sed 's/$/\r/' "tools/package/$f" | iconv -f UTF-8 -t UTF-16LE; } > "$STAGE/$f"
done
sed 's/$/\r/' tools/package/DEPLOY.txt > "$STAGE/DEPLOY.txt"
mkdir -p "$(dirname "$ZIP")"
rm -f "$ZIP"
(cd "$STAGE" && cmake -E tar cf "$ZIP" --format=zip -- *)
echo "$ZIP"
