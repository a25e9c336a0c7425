#!/usr/bin/env bash
# Runs each libFuzzer target from build-fuzz/ with a fixed seed, starting from
# its committed corpus (which it leaves as is); new inputs go to a scratch folder.
# Usage: scripts/run-fuzzers.sh [RUNS]         RUNS inputs per target (default 20000);
#                                              decode_large, which takes every size, 1/40 of them
#        scripts/run-fuzzers.sh deep [SECONDS] SECONDS per target (default 900), before a
#                                              release; inputs found are kept in fuzz-deep/TARGET
# FUZZ_JOBS=N runs N targets at a time (default 1); their reports come in order.
set -uo pipefail
cd "$(dirname "$0")/.."
# Freed memory waits in a quarantine of 16 MB rather than 256: an input frees
# far less, so a use after free within one input is caught as before, while
# fresh pages no longer cost a fault on every allocation (about a quarter of
# the round trip's time).
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}
if [ "${1:-}" = deep ]; then
  seconds=${2:-900}
  budget() { echo "-max_total_time=$seconds"; }
else
  runs=${1:-20000}
  budget() { if [ "$1" = decode_large ]; then echo "-runs=$((runs / 40))"; else echo "-runs=$runs"; fi; }
fi
targets="decode entry roundtrip library stream decode_large"
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT

# Runs one target; its report goes to $reports/TARGET, starting with PASS or FAIL.
fuzz_target() {
  local target=$1 corpus=fuzz/corpus/${1%_large} scratch found
  scratch=$(mktemp -d)
  found=$scratch
  if [ -n "${seconds:-}" ]; then found=fuzz-deep/$target; mkdir -p "$found"; fi
  if build-fuzz/fuzz/${target}_fuzzer -seed=1 "$(budget "$target")" -rss_limit_mb=4096 \
       -artifact_prefix="$scratch/" "$found" "$corpus" >"$scratch/log" 2>&1; then
    echo "PASS fuzz $target: $(grep -E '^Done' "$scratch/log"); $(grep -E 'exec/s' "$scratch/log" | tail -n 1 |
      grep -oE 'cov: [0-9]+|exec/s: [0-9]+' | tr '\n' ' ')" >"$reports/$target"
  else
    { echo "FAIL fuzz $target FAILED:"; tail -n 40 "$scratch/log"; } >"$reports/$target"
    cp "$scratch"/crash-* "$scratch"/leak-* "$scratch"/timeout-* "$scratch"/oom-* . 2>/dev/null
  fi
  rm -rf "$scratch"
}

for target in $targets; do
  while [ "$(jobs -rp | wc -l)" -ge "${FUZZ_JOBS:-1}" ]; do wait -n; done
  fuzz_target "$target" &
done
wait
passes=0
failures=0
for target in $targets; do
  if [ "$(head -c 4 "$reports/$target")" = PASS ]; then passes=$((passes + 1)); else failures=$((failures + 1)); fi
  sed '1s/^[A-Z]* //' "$reports/$target"
done
echo "fuzz: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
