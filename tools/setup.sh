#!/usr/bin/env bash
# Installs what the build and the tests need (Debian 12) and prepares a headless
# Wine prefix inside the build tree. Quiet and quick when everything is there.
#   tools/setup.sh [build-dir]
set -euo pipefail
BUILD_DIR="${1:-build}"

PACKAGES=(
  cmake make
  g++-mingw-w64-x86-64-posix mingw-w64-tools
  wine64 libwine
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav
  gstreamer1.0-plugins-ugly gstreamer1.0-plugins-bad   # ASF (WMV/WMA); MPEG program and transport streams
  ffmpeg googletest
  python3   # the include-order check
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

mkdir -p "$BUILD_DIR"
export WINEPREFIX="$(cd "$BUILD_DIR" && pwd)/wineprefix"
export WINEDEBUG=-all
WINE=/usr/lib/wine/wine64
if [ ! -f "$WINEPREFIX/.headless-ready" ]; then
  echo "setup: creating Wine prefix $WINEPREFIX"
  # No Mono/Gecko installers: they would try to download and to show dialogs.
  WINEDLLOVERRIDES="mscoree,mshtml=" "$WINE" wineboot --init >/dev/null 2>&1
  "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Audio /d "" /f >/dev/null 2>&1
  "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  # Ends the prefix's services; the registry is written out on the way.
  /usr/lib/wine/wineserver -k || true
  touch "$WINEPREFIX/.headless-ready"
fi
# Wine links the user's Documents folder to the Unix home: Snapwick's work folder
# (Documents\Snapwick) would then be shared by every build tree and left in the home.
# A folder of its own keeps each prefix's runs apart.
for docs in "$WINEPREFIX"/drive_c/users/*/Documents; do
  if [ -L "$docs" ]; then rm "$docs" && mkdir "$docs"; fi
done
