#!/usr/bin/env bash
# Builds everything (natively, and qvr.8bi for Windows) and runs the whole
# test suite, the Windows tests under Wine included.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh native windows
scripts/build-windows.sh
scripts/build.sh -DQVR_WINDOWS_BUILD_DIR="$PWD/build-win"
ctest --test-dir build --output-on-failure -j "$(nproc)"
