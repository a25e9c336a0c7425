#!/usr/bin/env bash
# The contributors' quick loop: the formatting check, a native build without
# the Windows modules and the integrations (build-check/, warnings as errors)
# and the unit tests and corpus replays, all in parallel. Needs no root; the
# packages of `scripts/install-deps.sh native` must be there. ./test.sh is the whole suite.
# Usage: scripts/check.sh [CTEST_ARGS...]   e.g. scripts/check.sh -R Encode8
set -euo pipefail
cd "$(dirname "$0")/.."
missing=$(scripts/install-deps.sh --list-missing native)
if [ -n "$missing" ]; then
  echo "check: missing packages: $missing (scripts/install-deps.sh native, as root)" >&2
  exit 1
fi
scripts/check-format.sh
cmake -S . -B build-check -DQVR_WERROR=ON -DQVR_GIMP=OFF -DQVR_GDK_PIXBUF=OFF -DQVR_DESKTOP=OFF >/dev/null
cmake --build build-check -j "$(nproc)"
ctest --test-dir build-check -L '^(unit|fuzz)$' -j "$(nproc)" --output-on-failure "$@"
