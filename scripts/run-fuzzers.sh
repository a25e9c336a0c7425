#!/usr/bin/env bash
# Runs each libFuzzer target from build-fuzz/ for a bounded number of inputs
# with a fixed seed, starting from its committed corpus (which it leaves as is).
# Usage: scripts/run-fuzzers.sh [RUNS]   (default 20000 inputs per target)
set -uo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20000}
passes=0
failures=0
for target in decode entry roundtrip library; do
  scratch=$(mktemp -d)
  if build-fuzz/fuzz/${target}_fuzzer -seed=1 -runs="$runs" -rss_limit_mb=4096 \
       -artifact_prefix="$scratch/" "$scratch" "fuzz/corpus/$target" >"$scratch/log" 2>&1; then
    passes=$((passes + 1))
    echo "fuzz $target: $(grep -E '^Done' "$scratch/log")"
  else
    failures=$((failures + 1))
    echo "fuzz $target FAILED:"; tail -n 40 "$scratch/log"
    cp "$scratch"/crash-* "$scratch"/leak-* "$scratch"/timeout-* . 2>/dev/null
  fi
  rm -rf "$scratch"
done
echo "fuzz: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
