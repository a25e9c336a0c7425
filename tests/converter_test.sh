#!/usr/bin/env bash
# The converter end to end: samples round trip to stable bytes, and every kind
# of bad input gets a one-line error and the right exit status.
# Usage: converter_test.sh QVR_BINARY SAMPLES_DIR
set -uo pipefail
qvr=$1
samples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passes=0

check() {  # check NAME EXPECTED_STATUS COMMAND...
  local name=$1 want=$2
  shift 2
  "$@" >"$work/out" 2>"$work/err"
  local got=$?
  if [ "$got" -ne "$want" ]; then
    echo "FAIL $name: exit $got, expected $want"; cat "$work/err"; failures=$((failures + 1))
  else
    passes=$((passes + 1))
  fi
}

expect_err() {  # expect_err NAME PATTERN: the last command's stderr matches
  if grep -q -- "$2" "$work/err"; then passes=$((passes + 1)); else
    echo "FAIL $1: stderr lacks '$2':"; cat "$work/err"; failures=$((failures + 1))
  fi
}

for f in "$samples"/*.qvr; do
  name=$(basename "$f" .qvr)
  check "$name decode" 0 "$qvr" decode "$f" "$work/$name.png"
  check "$name encode" 0 "$qvr" encode "$work/$name.png" "$work/$name.1.qvr"
  check "$name decode again" 0 "$qvr" decode "$work/$name.1.qvr" "$work/$name.1.png"
  check "$name encode again" 0 "$qvr" encode "$work/$name.1.png" "$work/$name.2.qvr"
  check "$name stable bytes" 0 cmp "$work/$name.1.qvr" "$work/$name.2.qvr"
  check "$name info" 0 "$qvr" info "$work/$name.2.qvr"
done

# Depth choices: a palette PNG widened to RGB, and an RGB PNG with few colours made indexed.
check "indexed to rgb" 0 "$qvr" encode "$work/sunset-indexed.png" "$work/s24.qvr" --depth 24
check "rgb with few colours to indexed" 0 "$qvr" encode "$work/sunset-indexed.1.png" "$work/s8.qvr" --depth 8
check "back from rgb" 0 "$qvr" decode "$work/s24.qvr" "$work/s24.png"
check "rgb to indexed" 0 "$qvr" encode "$work/s24.png" "$work/s8b.qvr" --depth 8
check "many colours refused at depth 8" 1 "$qvr" encode "$work/tiles-rgb.png" "$work/t8.qvr" --depth 8
expect_err "many colours message" "more than 256 colours"
[ -e "$work/t8.qvr" ] && { echo "FAIL refused encode left a file"; failures=$((failures + 1)); }

# Usage errors: status 2.
check "no command" 2 "$qvr"
check "unknown command" 2 "$qvr" frobnicate
check "bad depth" 2 "$qvr" encode "$work/a.png" "$work/a.qvr" --depth 16
check "decode arity" 2 "$qvr" decode "$work/a.qvr"
check "encode arity" 2 "$qvr" encode "$work/a.png" "$work/b.png" "$work/c.qvr"
check "unknown option" 2 "$qvr" info --verbose x
check "help" 0 "$qvr" --help

# File failures: status 1, one line naming the file.
check "missing file" 1 "$qvr" decode "$work/nothing.qvr" "$work/x.png"
expect_err "missing file message" "nothing.qvr: cannot open"
printf 'hello, world' >"$work/foreign.qvr"
check "foreign file" 1 "$qvr" decode "$work/foreign.qvr" "$work/x.png"
expect_err "foreign file message" "not a QVR file"
check "foreign info" 1 "$qvr" info "$work/foreign.qvr"
check "png is not qvr" 1 "$qvr" decode "$samples/badge.png" "$work/x.png"
check "qvr is not png" 1 "$qvr" encode "$samples/tiles-rgb.qvr" "$work/x.qvr"
head -c 900 "$samples/sunset-indexed.qvr" >"$work/cut.qvr"
check "cut short" 1 "$qvr" decode "$work/cut.qvr" "$work/x.png"
expect_err "cut short message" "ends too early in the index plane at row"
# An indexed file whose first row fills past the width: corrupt, and the row is named.
{ head -c 816 "$samples/sunset-indexed.qvr"; printf '\375\377\001'; } >"$work/corrupt.qvr"
check "corrupt" 1 "$qvr" decode "$work/corrupt.qvr" "$work/x.png"
expect_err "corrupt message" "row 0 of the index plane runs past"

# Batches: every file is tried, a failure is reported and does not stop the rest.
mkdir -p "$work/batch" "$work/batch2"
check "batch with a bad file" 1 "$qvr" decode "$samples/sunset-indexed.qvr" "$work/foreign.qvr" \
  "$samples/tiles-rgb.qvr" -o "$work/batch"
expect_err "batch names the bad file" "foreign.qvr: not a QVR file"
for n in sunset-indexed tiles-rgb; do
  [ -s "$work/batch/$n.png" ] && passes=$((passes + 1)) || { echo "FAIL batch output $n"; failures=$((failures + 1)); }
done
check "batch encode" 0 "$qvr" encode "$work/batch/sunset-indexed.png" "$work/batch/tiles-rgb.png" -o "$work/batch2"
check "batch output matches single" 0 cmp "$work/batch2/tiles-rgb.qvr" "$work/tiles-rgb.1.qvr"
check "missing output folder" 2 "$qvr" decode "$samples/tiles-rgb.qvr" -o "$work/no-such-dir"

# Quiet prints nothing on success; off a terminal there is never a progress bar.
check "quiet" 0 "$qvr" decode --quiet "$samples/badge-rgba.qvr" "$work/q.png"
if [ -s "$work/out" ] || [ -s "$work/err" ]; then echo "FAIL quiet printed something"; failures=$((failures + 1)); else passes=$((passes + 1)); fi
check "no bar off a terminal" 0 "$qvr" decode "$samples/badge-rgba.qvr" "$work/q.png"
if [ -s "$work/err" ]; then echo "FAIL progress bar off a terminal"; failures=$((failures + 1)); else passes=$((passes + 1)); fi

echo "converter: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
