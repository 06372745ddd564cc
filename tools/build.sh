#!/usr/bin/env bash
# Set-up (packages, Wine prefix) and the cross build into a build tree.
#   tools/build.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
tools/setup.sh "$BUILD_DIR"
cmake -S . -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" -- --no-print-directory
