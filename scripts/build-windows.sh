#!/usr/bin/env bash
# Cross-builds qvr.8bi and the Windows test programs into build-win/ (or $QVR_WINDOWS_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${QVR_WINDOWS_BUILD_DIR:-build-win}
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)" --target qvr_module qvrhost windows_tests
