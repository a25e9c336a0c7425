#!/usr/bin/env bash
# Checks the tree's formatting, then builds everything and runs the whole test
# suite, with warnings as errors:
#   1. the native suite, with both Windows modules' tests under Wine (the 32-bit
#      one emulated where the kernel cannot run 32-bit programs) and the library and
#      integrations (gdk-pixbuf loader, MIME type, thumbnailer, GIMP plug-in) installed;
#   2. the native suite again built with clang under AddressSanitizer and
#      UndefinedBehaviorSanitizer, every finding fatal;
#   3. the native suite in a Release build (-O3), as a packager builds it;
#   4. the native suite with the vector paths compiled out (QVR_PORTABLE), so that
#      the loops only the 32-bit module runs are tested at depth natively too;
#   5. each fuzz target for a bounded number of inputs with a fixed seed.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh native windows integrations fuzz
scripts/check-format.sh
jobs=$(nproc)

scripts/build-windows.sh -DQVR_WERROR=ON
tests/windows/emulation/setup.sh build-win/i386-emulation  # says how 32-bit programs run here
scripts/build.sh -DQVR_WINDOWS_BUILD_DIR="$PWD/build-win" -DQVR_WINDOWS64_BUILD_DIR="$PWD/build-win64" -DQVR_WERROR=ON
ctest --test-dir build --output-on-failure -j "$jobs"

QVR_BUILD_DIR=build-asan CC=clang CXX=clang++ scripts/build.sh -DQVR_SANITIZE=ON -DQVR_WERROR=ON
ctest --test-dir build-asan --output-on-failure -j "$jobs"

QVR_BUILD_DIR=build-release QVR_BUILD_TYPE=Release scripts/build.sh -DQVR_WERROR=ON
ctest --test-dir build-release --output-on-failure -j "$jobs"

# The integrations reach the vector paths only through the library, tested here already.
QVR_BUILD_DIR=build-portable scripts/build.sh -DQVR_PORTABLE=ON -DQVR_WERROR=ON -DQVR_GIMP=OFF -DQVR_GDK_PIXBUF=OFF \
  -DQVR_DESKTOP=OFF
ctest --test-dir build-portable --output-on-failure -j "$jobs"

scripts/build-fuzz.sh
scripts/run-fuzzers.sh
