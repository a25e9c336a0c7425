#!/usr/bin/env bash
# Cross-builds qvr.8bi, qvrwic.dll and the Windows test programs for both architectures:
# 32-bit x86 into build-win/ (or $QVR_WINDOWS_BUILD_DIR) and x86-64 into
# build-win64/ (or $QVR_WINDOWS64_BUILD_DIR). Extra arguments go to both configures.
set -euo pipefail
cd "$(dirname "$0")/.."
build() {
  cmake -S . -B "$1" -DCMAKE_TOOLCHAIN_FILE="$2" -DCMAKE_BUILD_TYPE=Release "${@:3}" >/dev/null
  cmake --build "$1" -j "$(nproc)" --target qvr_module qvrhost windows_tests qvr_wic wic_test
}
build "${QVR_WINDOWS_BUILD_DIR:-build-win}" cmake/mingw-i686.cmake "$@"
build "${QVR_WINDOWS64_BUILD_DIR:-build-win64}" cmake/mingw-x86_64.cmake "$@"
