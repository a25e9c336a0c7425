#!/usr/bin/env bash
# Configures and builds the native tree in build/ (or $QVR_BUILD_DIR), as
# $QVR_BUILD_TYPE (default RelWithDebInfo), with the compilers CC and CXX name.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${QVR_BUILD_DIR:-build}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="${QVR_BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
