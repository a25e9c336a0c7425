#!/usr/bin/env bash
# Builds the benchmark, fetches the corpus and prints the table.
# Usage: bench/run.sh [CORPUS_DIR] [qvr_bench options]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native bench
scripts/build.sh >/dev/null
if [ $# -gt 0 ] && [ -d "$1" ]; then corpus=$1; shift; else corpus=$(bench/fetch-corpus.sh); fi
exec build/bench/qvr_bench "$corpus" "$@"
