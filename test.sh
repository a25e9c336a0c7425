#!/usr/bin/env bash
# Builds everything and runs the whole test suite:
#   1. the native suite, with both Windows modules' tests under Wine (the 32-bit
#      one is reported as skipped on a machine that cannot run 32-bit programs) and the
#      library and integrations (gdk-pixbuf loader, MIME type, thumbnailer, GIMP plug-in) installed;
#   2. the native suite again under AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. each fuzz target for a bounded number of inputs with a fixed seed.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh native windows integrations fuzz
jobs=$(nproc)

scripts/build-windows.sh
scripts/build.sh -DQVR_WINDOWS_BUILD_DIR="$PWD/build-win" -DQVR_WINDOWS64_BUILD_DIR="$PWD/build-win64"
ctest --test-dir build --output-on-failure -j "$jobs"

QVR_BUILD_DIR=build-asan scripts/build.sh -DQVR_SANITIZE=ON
ctest --test-dir build-asan --output-on-failure -j "$jobs"

scripts/build-fuzz.sh
scripts/run-fuzzers.sh
