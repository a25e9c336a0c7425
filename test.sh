#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh native
scripts/build.sh
ctest --test-dir build --output-on-failure -j "$(nproc)"
