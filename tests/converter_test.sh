#!/usr/bin/env bash
# The converter end to end: samples round trip to stable bytes, every kind of
# bad input gets a one-line error and the right exit status, and no failure
# ever costs what was at the output path. qvrhost's messages and outputs too.
# Usage: converter_test.sh QVR_BINARY SAMPLES_DIR PNG_FIXTURE QVRHOST_BINARY
set -uo pipefail
qvr=$1
samples=$2
fixture=$3
qvrhost=$4
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

qvr_depth() { "$qvr" info "$1" | sed -n 's/.*, depth \([0-9]*\),.*/\1/p'; }

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
expect_err "many colours message" "at most 254 colours besides white"
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
expect_err "missing file message" "nothing.qvr: reading: No such file or directory"
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
{ head -c 816 "$samples/sunset-indexed.qvr"; printf '\375\377\001'; head -c 64 /dev/zero; } >"$work/corrupt.qvr"
check "corrupt" 1 "$qvr" decode "$work/corrupt.qvr" "$work/x.png"
expect_err "corrupt message" "row 0 of the index plane runs past"

# Batches: every file is tried, a failure is reported and does not stop the rest.
mkdir -p "$work/batch" "$work/batch2"
check "batch with a bad file" 1 "$qvr" decode "$samples/sunset-indexed.qvr" "$work/foreign.qvr" \
  "$samples/tiles-rgb.qvr" -o "$work/batch"
expect_err "batch names the bad file" "foreign.qvr: reading: not a QVR file"
for n in sunset-indexed tiles-rgb; do
  [ -s "$work/batch/$n.png" ] && passes=$((passes + 1)) || { echo "FAIL batch output $n"; failures=$((failures + 1)); }
done
check "batch encode" 0 "$qvr" encode "$work/batch/sunset-indexed.png" "$work/batch/tiles-rgb.png" -o "$work/batch2"
check "batch output matches single" 0 cmp "$work/batch2/tiles-rgb.qvr" "$work/tiles-rgb.1.qvr"
check "missing output folder is made" 0 "$qvr" decode "$samples/tiles-rgb.qvr" -o "$work/new-dir/deeper"
[ -s "$work/new-dir/deeper/tiles-rgb.png" ] && passes=$((passes + 1)) || { echo "FAIL output folder not made"; failures=$((failures + 1)); }

# Quiet prints nothing on success; off a terminal there is never a progress bar.
check "quiet" 0 "$qvr" decode --quiet "$samples/badge-rgba.qvr" "$work/q.png"
if [ -s "$work/out" ] || [ -s "$work/err" ]; then echo "FAIL quiet printed something"; failures=$((failures + 1)); else passes=$((passes + 1)); fi
check "no bar off a terminal" 0 "$qvr" decode "$samples/badge-rgba.qvr" "$work/q.png"
if [ -s "$work/err" ]; then echo "FAIL progress bar off a terminal"; failures=$((failures + 1)); else passes=$((passes + 1)); fi

same() {  # same NAME FILE EXPECTED_CONTENT_FILE: FILE still holds what it held
  if cmp -s "$2" "$3"; then passes=$((passes + 1)); else echo "FAIL $1: $2 changed"; failures=$((failures + 1)); fi
}
no_temporaries() {  # no_temporaries NAME DIR: nothing of the tool's own is left behind
  if ls -A "$2" | grep -q '\.tmp-'; then echo "FAIL $1: temporary files left in $2"; failures=$((failures + 1)); else passes=$((passes + 1)); fi
}

# ---- output-path safety: a refused or failed conversion leaves the output path as it was ----
mkdir -p "$work/safe"
cp "$samples/tiles-rgb.qvr" "$work/safe/good.qvr"
cp "$samples/tiles-rgb.qvr" "$work/safe/kept.qvr"
"$fixture" rgb 1 5 "$work/safe/narrow.png"
"$fixture" rgb 8192 2 "$work/safe/wide.png"
check "width 1 refused" 1 "$qvr" encode "$work/safe/narrow.png" "$work/safe/good.qvr"
expect_err "width 1 names the input" "narrow.png: reading: the image is 1 x 5"
same "width 1 keeps the old file" "$work/safe/good.qvr" "$work/safe/kept.qvr"
check "width 8192 refused" 1 "$qvr" encode "$work/safe/wide.png" "$work/safe/good.qvr"
same "width 8192 keeps the old file" "$work/safe/good.qvr" "$work/safe/kept.qvr"
cp "$work/safe/narrow.png" "$work/safe/narrow.kept"
check "refused onto itself" 1 "$qvr" encode "$work/safe/narrow.png" "$work/safe/narrow.png"
same "refused onto itself keeps the input" "$work/safe/narrow.png" "$work/safe/narrow.kept"
# A symbolic link keeps pointing at its file, which is replaced whole.
ln -s good.qvr "$work/safe/link.qvr"
check "encode through a link" 0 "$qvr" encode "$work/sunset-indexed.png" "$work/safe/link.qvr"
[ -L "$work/safe/link.qvr" ] && cmp -s "$work/safe/good.qvr" "$work/sunset-indexed.1.qvr" && passes=$((passes + 1)) ||
  { echo "FAIL link replaced or target not written"; failures=$((failures + 1)); }
# A device is written in place and never unlinked.
if mknod "$work/safe/full" c 1 7 2>/dev/null; then
  check "device output" 1 "$qvr" encode "$work/sunset-indexed.png" "$work/safe/full"
  expect_err "device output reason" "writing $work/safe/full: No space left on device"
  [ -c "$work/safe/full" ] && passes=$((passes + 1)) || { echo "FAIL device node removed"; failures=$((failures + 1)); }
fi
# A disk that fills up leaves the old file exactly as it was: a real full disk
# where a small file system can be mounted, else a file size limit.
"$fixture" rgb 300 300 "$work/safe/big.png"
"$qvr" encode -q "$work/safe/big.png" "$work/safe/big.qvr"
full_dir=$work/safe
if mkdir -p "$work/tiny" && mount -t tmpfs -o size=64k tmpfs "$work/tiny" 2>/dev/null; then
  trap 'umount "$work/tiny" 2>/dev/null; rm -rf "$work"' EXIT
  full_dir=$work/tiny
  limit=unlimited
  full_reason="No space left on device"
  head -c 40000 /dev/zero >"$full_dir/filler"
else
  limit=8
  full_reason="File too large"
fi
"$qvr" decode -q "$samples/sunset-indexed.qvr" "$full_dir/old.png"
cp "$full_dir/old.png" "$work/safe/old.kept"
(trap '' XFSZ; ulimit -f $limit; "$qvr" decode "$work/safe/big.qvr" "$full_dir/old.png") >"$work/out" 2>"$work/err"
[ $? -eq 1 ] && passes=$((passes + 1)) || { echo "FAIL full disk exit status"; failures=$((failures + 1)); }
expect_err "full disk reason" "big.qvr: writing $full_dir/old.png: $full_reason"
same "full disk keeps the old PNG" "$full_dir/old.png" "$work/safe/old.kept"
# qvrhost save, and time, which writes what it opened and saved again.
for step in save:big.png time:big.qvr; do
  cp "$samples/tiles-rgb.qvr" "$full_dir/good.qvr"
  (trap '' XFSZ; ulimit -f $limit; "$qvrhost" "${step%%:*}" "$work/safe/${step#*:}" "$full_dir/good.qvr") >"$work/out" 2>"$work/err"
  [ $? -eq 1 ] && passes=$((passes + 1)) || { echo "FAIL host ${step%%:*} full disk exit status"; failures=$((failures + 1)); }
  same "host ${step%%:*} on a full disk keeps the old file" "$full_dir/good.qvr" "$samples/tiles-rgb.qvr"
  expect_err "host ${step%%:*} full disk names the step" "${step#*:}: writing $full_dir/good.qvr: "
done
no_temporaries "failed writes on a full disk" "$full_dir"
no_temporaries "failed writes" "$work/safe"
# Two inputs with one output name are refused before anything is converted.
mkdir -p "$work/a" "$work/b" "$work/clash"
cp "$samples/tiles-rgb.qvr" "$work/a/x.qvr"
cp "$samples/badge-rgba.qvr" "$work/b/x.qvr"
check "output clash" 1 "$qvr" decode "$work/a/x.qvr" "$work/b/x.qvr" -o "$work/clash"
expect_err "output clash names both" "b/x.qvr: naming the output: $work/clash/x.png is already the output of $work/a/x.qvr"
[ -z "$(ls -A "$work/clash")" ] && passes=$((passes + 1)) || { echo "FAIL clash converted something"; failures=$((failures + 1)); }

# ---- damaged offsets: an offset outside the file is damage, named with its value ----
{ head -c 32 "$samples/sunset-indexed.qvr"; printf '\240\206\001\000'; tail -c +37 "$samples/sunset-indexed.qvr"; } >"$work/far.qvr"
check "data offset outside" 1 "$qvr" decode "$work/far.qvr" "$work/far.png"
expect_err "data offset named" "far.qvr: reading: damaged file: the data offset 100000 lies outside the file"
[ -e "$work/far.png" ] && { echo "FAIL damaged file decoded"; failures=$((failures + 1)); }
check "info on a far offset" 1 "$qvr" info "$work/far.qvr"
expect_err "info names the offset" "the data offset 100000 lies outside the file"
grep -q "header valid" "$work/out" && { echo "FAIL info calls a damaged file valid"; failures=$((failures + 1)); }

# ---- bombs: a header claiming a huge image is refused at once ----
"$fixture" header 32767 32767 "$work/bomb.png"
check "png bomb" 1 "$qvr" encode "$work/bomb.png" "$work/bomb.qvr"
expect_err "png bomb message" "bomb.png: reading: the image is 32767 x 32767"
check "png bomb in the host" 1 "$qvrhost" save "$work/bomb.png" "$work/bomb.qvr"
expect_err "png bomb host message" "bomb.png: reading: the image is 32767 x 32767"

# An allocation that fails is a clear failure of that file, never an abort
# (where an address-space limit can be set: sanitizer builds need more).
"$fixture" header 8191 8191 "$work/huge.png"
if (ulimit -v 150000; "$qvr" --help) >/dev/null 2>&1; then
  (ulimit -v 150000; "$qvr" encode "$work/huge.png" "$work/huge.qvr") >"$work/out" 2>"$work/err"
  [ $? -eq 1 ] && passes=$((passes + 1)) || { echo "FAIL out of memory exit status"; failures=$((failures + 1)); }
  expect_err "out of memory message" "huge.png: reading: out of memory"
  (ulimit -v 150000; "$qvrhost" save "$work/huge.png" "$work/huge.qvr") >"$work/out" 2>"$work/err"
  [ $? -eq 1 ] && passes=$((passes + 1)) || { echo "FAIL host out of memory exit status"; failures=$((failures + 1)); }
  expect_err "host out of memory message" "huge.png: reading: out of memory"
fi

# ---- fidelity: a palette with transparency keeps it ----
"$fixture" palette-alpha "$work/trns.png"
check "palette alpha encode" 0 "$qvr" encode "$work/trns.png" "$work/trns.qvr"
grep -q "with alpha plane" "$work/out" && passes=$((passes + 1)) || { echo "FAIL palette alpha dropped"; failures=$((failures + 1)); }
check "palette alpha at depth 8" 1 "$qvr" encode "$work/trns.png" "$work/trns8.qvr" --depth 8
expect_err "palette alpha at depth 8 says why" "transparent entries"

# ---- messages: one line, input, step and reason, the same in every command ----
mkdir -p "$work/folder.png"
for command in "info $work/folder.png" "decode $work/folder.png $work/x.png" "encode $work/folder.png $work/x.qvr"; do
  check "folder as input: $command" 1 "$qvr" $command
  expect_err "folder message: $command" "^qvr: $work/folder.png: reading: Is a directory\$"
  [ "$(wc -l <"$work/err")" -eq 1 ] && passes=$((passes + 1)) || { echo "FAIL more than one line"; failures=$((failures + 1)); }
done
# A damaged CRC before the image data and one after it.
size=$(stat -c %s "$samples/badge.png")
for at in 29 $((size - 13)); do
  cp "$samples/badge.png" "$work/crc.png"
  printf '\377' | dd of="$work/crc.png" bs=1 seek="$at" conv=notrunc 2>/dev/null
  check "crc at $at" 1 "$qvr" encode "$work/crc.png" "$work/crc.qvr"
  expect_err "crc at $at named" "crc.png: reading: damaged PNG: a chunk fails its CRC check"
done
check "encode help" 0 "$qvr" encode --help
grep -q "qvr converts" "$work/out" && passes=$((passes + 1)) || { echo "FAIL encode --help"; failures=$((failures + 1)); }
cp "$samples/tiles-rgb.qvr" "$work/-dash.qvr"
(cd "$work" && "$qvr" decode -q -- -dash.qvr -dash.png) && [ -s "$work/-dash.png" ] && passes=$((passes + 1)) ||
  { echo "FAIL -- does not end the options"; failures=$((failures + 1)); }
check "host open missing" 1 "$qvrhost" open "$work/missing.qvr" "$work/x.png"
expect_err "host open missing message" "missing.qvr: reading: No such file or directory"
check "host save to a missing folder" 1 "$qvrhost" save "$samples/badge.png" "$work/nowhere/x.qvr"
expect_err "host save missing folder message" "badge.png: writing $work/nowhere/x.qvr: No such file or directory"
check "host open damaged" 1 "$qvrhost" open "$work/far.qvr" "$work/x.png"
expect_err "host open damaged message" "far.qvr: reading: "

# ---- batches in parallel: the same files, lines, order and status as one at a time ----
mkdir -p "$work/many" "$work/seq" "$work/par"
for i in $(seq -w 1 12); do "$fixture" rgb $((20 + 7 * 10#$i)) $((9 + 10#$i)) "$work/many/p$i.png"; done
cp "$work/foreign.qvr" "$work/many/p05.png"  # one that fails, in the middle
"$qvr" encode "$work"/many/*.png -o "$work/seq" -j 1 >"$work/seq.out" 2>"$work/seq.err"
seq_status=$?
"$qvr" encode "$work"/many/*.png -o "$work/par" -j 4 >"$work/par.out" 2>"$work/par.err"
par_status=$?
[ "$seq_status" -eq 1 ] && [ "$par_status" -eq 1 ] && passes=$((passes + 1)) ||
  { echo "FAIL parallel status: $seq_status vs $par_status"; failures=$((failures + 1)); }
sed "s#$work/seq#DIR#" "$work/seq.out" >"$work/seq.lines"
sed "s#$work/par#DIR#" "$work/par.out" >"$work/par.lines"
for kind in lines err; do
  cmp -s "$work/seq.$kind" "$work/par.$kind" && passes=$((passes + 1)) ||
    { echo "FAIL parallel $kind differ"; diff "$work/seq.$kind" "$work/par.$kind"; failures=$((failures + 1)); }
done
[ "$(wc -l <"$work/par.lines")" -eq 11 ] && passes=$((passes + 1)) || { echo "FAIL parallel line count"; failures=$((failures + 1)); }
diff -r "$work/seq" "$work/par" >/dev/null && passes=$((passes + 1)) || { echo "FAIL parallel outputs differ"; failures=$((failures + 1)); }
"$qvr" decode -q "$work"/par/*.qvr -o "$work/par-back" && "$qvr" decode -q -j1 "$work"/seq/*.qvr -o "$work/seq-back" &&
  diff -r "$work/seq-back" "$work/par-back" >/dev/null && passes=$((passes + 1)) ||
  { echo "FAIL parallel decode differs"; failures=$((failures + 1)); }
check "jobs must be a count" 2 "$qvr" decode "$samples/tiles-rgb.qvr" -o "$work/par" -j 0
check "jobs needs a count" 2 "$qvr" decode "$samples/tiles-rgb.qvr" -o "$work/par" -j

# An output that names the input (directly, through a link, or by a batch's
# naming) is refused, and the input stays as it was.
mkdir -p "$work/same"
cp "$samples/tiles-rgb.qvr" "$samples/badge.png" "$work/same/"
ln -s badge.png "$work/same/link.png"
check "decode onto its input" 1 "$qvr" decode "$work/same/tiles-rgb.qvr" "$work/same/tiles-rgb.qvr"
expect_err "output is input message" "writing $work/same/tiles-rgb.qvr: the output is the input file"
check "encode onto its input" 1 "$qvr" encode "$work/same/badge.png" "$work/same/badge.png"
check "encode onto a link to its input" 1 "$qvr" encode "$work/same/badge.png" "$work/same/link.png"
cp "$work/same/tiles-rgb.qvr" "$work/same/self.png"
check "batch output is its input" 1 "$qvr" decode "$work/same/self.png" -o "$work/same"
check "host open onto its input" 1 "$qvrhost" open "$work/same/tiles-rgb.qvr" "$work/same/tiles-rgb.qvr"
check "host save onto its input" 1 "$qvrhost" save "$work/same/badge.png" "$work/same/badge.png"
check "inputs intact" 0 cmp "$work/same/tiles-rgb.qvr" "$samples/tiles-rgb.qvr"
check "png input intact" 0 cmp "$work/same/badge.png" "$samples/badge.png"
check "self.png intact" 0 cmp "$work/same/self.png" "$samples/tiles-rgb.qvr"
# A pipe as QVR input is refused at once instead of hanging on a seek.
mkfifo "$work/same/pipe"
check "pipe refused by info" 1 timeout 10 "$qvr" info "$work/same/pipe"
expect_err "pipe message" "not a regular file"
check "pipe refused by decode" 1 timeout 10 "$qvr" decode "$work/same/pipe" "$work/same/x.png"
check "pipe refused by the host" 1 timeout 10 "$qvrhost" open "$work/same/pipe" "$work/same/x.png"

check "pipe refused by the host's filter" 1 timeout 10 "$qvrhost" filter "$work/same/pipe"
expect_err "host filter pipe message" "pipe: reading: not a regular file"
check "pipe refused by the host's time" 1 timeout 10 "$qvrhost" time "$work/same/pipe" "$work/same/x.qvr"
expect_err "host time pipe message" "pipe: reading: not a regular file"

# ---- qvrhost time replaces its output like save (full disk above), every failure said ----
check "host time into a folder" 1 "$qvrhost" time "$samples/tiles-rgb.qvr" "$work/same"
expect_err "host time folder message" "tiles-rgb.qvr: writing $work/same: Is a directory"

# ---- outputs: long names, owner and group, the same in qvr and qvrhost ----
mkdir -p "$work/names"
long=$(printf 'n%.0s' $(seq 246))
check "qvr writes a 250-byte name" 0 "$qvr" encode "$work/sunset-indexed.png" "$work/names/$long.qvr"
check "qvrhost writes a 250-byte name" 0 "$qvrhost" save "$samples/badge.png" "$work/names/h$long.qvr"
if [ "$(id -u)" -eq 0 ]; then
  for tool in qvr qvrhost; do
    cp "$samples/tiles-rgb.qvr" "$work/names/owned.qvr"
    chown 12345:12346 "$work/names/owned.qvr" && chmod 0640 "$work/names/owned.qvr"
    if [ $tool = qvr ]; then "$qvr" encode -q "$work/sunset-indexed.png" "$work/names/owned.qvr"
    else "$qvrhost" save "$samples/badge.png" "$work/names/owned.qvr" >/dev/null; fi
    owner=$(stat -c %u:%g:%a "$work/names/owned.qvr")
    [ "$owner" = 12345:12346:640 ] && ! cmp -s "$work/names/owned.qvr" "$samples/tiles-rgb.qvr" &&
      passes=$((passes + 1)) || { echo "FAIL $tool: replaced file is $owner"; failures=$((failures + 1)); }
  done
fi

# ---- test-host documents are held to the sizes QVR stores, and refused from their size ----
le32() {  # le32 N: N as four little-endian bytes
  local i
  for i in 0 8 16 24; do printf "\\$(printf %03o $((($1 >> i) & 255)))"; done
}
doc() {  # doc FILE WIDTH HEIGHT: a 792-byte RGB document header that claims WIDTH x HEIGHT
  { printf 'QVRDOC1\0'; le32 3; le32 "$2"; le32 "$3"; le32 3; head -c 768 /dev/zero; } >"$1"
}
doc "$work/bomb.doc" 32767 32767
doc "$work/short.doc" 8191 8191
check "document beyond QVR's sizes" 1 "$qvrhost" save "$work/bomb.doc" "$work/bomb.qvr"
expect_err "document size message" "bomb.doc: reading: the document is 32767 x 32767; a QVR file holds 2 to 8191"
check "document too short for its size" 1 "$qvrhost" save "$work/short.doc" "$work/short.qvr"
expect_err "short document message" "short.doc: reading: the document file is too short for its 8191 x 8191 pixels"

# A file too short for the rows its header claims is refused from its size.
{ head -c 816 "$samples/sunset-indexed.qvr"; printf '\375\377\001'; } >"$work/short.qvr"
check "too short for its rows" 1 "$qvr" decode "$work/short.qvr" "$work/x.png"
expect_err "too short says so" "its 819 bytes cannot hold the rows of a 96 x 64 image"

# The depth follows what the image needs unless --depth says otherwise: a
# palette no 8 bpp file holds goes out as RGB with a note, alpha only where a
# pixel is not opaque, and a gamma QVR cannot keep is noted.
"$fixture" palette256 "$work/p256.png" && "$fixture" rgba-opaque "$work/opaque.png" && "$fixture" gamma "$work/gamma.png"
check "256 colours by default" 0 "$qvr" encode "$work/p256.png" "$work/p256.qvr"
expect_err "256 colours noted" "^qvr: $work/p256.png: note: .*stored as 16 bpp RGB"
[ "$(wc -l <"$work/err")" -eq 1 ] && [ "$(qvr_depth "$work/p256.qvr")" = 24 ] && passes=$((passes + 1)) ||
  { echo "FAIL 256 colours: not one note and a 16 bpp file"; failures=$((failures + 1)); }
check "256 colours at depth 8" 1 "$qvr" encode "$work/p256.png" "$work/p256-8.qvr" --depth 8
expect_err "256 colours at depth 8 says why" "at most 254 colours besides white"
check "opaque rgba" 0 "$qvr" encode "$work/opaque.png" "$work/opaque.qvr"
check "opaque rgba asked for alpha" 0 "$qvr" encode "$work/opaque.png" "$work/opaque32.qvr" --depth 32
[ "$(qvr_depth "$work/opaque.qvr")/$(qvr_depth "$work/opaque32.qvr")" = 24/32 ] && passes=$((passes + 1)) ||
  { echo "FAIL opaque rgba depths"; failures=$((failures + 1)); }
check "gamma" 0 "$qvr" encode "$work/gamma.png" "$work/gamma.qvr"
expect_err "gamma noted" "note: the PNG's gamma 1.0"

# Options: -j's range, -jN like -j N, an empty -o, and no folder for a refused batch.
check "too many jobs" 2 "$qvr" decode "$samples/tiles-rgb.qvr" -o "$work/par" -j 1025
expect_err "too many jobs says the range" "1 to 1024"
check "jobs joined" 2 "$qvr" decode "$samples/tiles-rgb.qvr" -o "$work/par" -j0
expect_err "jobs joined says the range" "\-j takes a number of files at a time, 1 to 1024"
check "jobs joined" 0 "$qvr" decode -q "$samples/tiles-rgb.qvr" -o "$work/j2" -j2
check "empty folder name" 2 "$qvr" decode "$samples/tiles-rgb.qvr" -o ""
expect_err "empty folder name says so" "\-o takes a folder, not an empty name"
mkdir -p "$work/clash/a" "$work/clash/b" && cp "$samples/tiles-rgb.qvr" "$work/clash/a/" && cp "$samples/tiles-rgb.qvr" "$work/clash/b/"
check "clashing batch" 1 "$qvr" decode "$work/clash/a/tiles-rgb.qvr" "$work/clash/b/tiles-rgb.qvr" -o "$work/clash/out"
[ ! -e "$work/clash/out" ] && passes=$((passes + 1)) || { echo "FAIL clashing batch made its folder"; failures=$((failures + 1)); }

echo "converter: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
