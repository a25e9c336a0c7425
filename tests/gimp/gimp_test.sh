#!/usr/bin/env bash
# The installed GIMP plug-in in gimp-console's batch mode, with a private GIMP
# folder whose plug-in path holds only it, PNG and Script-Fu. One GIMP run:
#   - opens each sample (and one by content alone, without its extension) and
#     exports it as PNG and as QVR; opens each through the thumbnail procedure;
#   - opens PNGs (the bundled ones and the samples as `qvr decode` writes them)
#     and exports them as QVR;
#   - exports a greyscale image with alpha;
#   - tries a cut file and one with a changed byte, which must fail with the
#     library's message, the latter naming the row and plane;
#   - exports palette images whose colours an 8 bpp file would change (renumbered)
#     or cannot hold (refused with the reason), and an opaque RGBA image (no alpha plane).
# Then the pixels must match `qvr decode` and the QVR bytes `qvr encode`.
# Usage: gimp_test.sh PREFIX SAMPLES QVR PIXBUF_TEST GIMP_PLUGIN_DIR WORKDIR PNG_FIXTURE
set -euo pipefail
prefix=$1 samples=$2 qvr=$3 pixbuf_test=$4 system_plugins=$5 work=$6 fixture=$7
fail() { echo "gimp_test: $*" >&2; exit 1; }
source "$(dirname "$0")/../library/workdir.sh"
fresh_workdir "$work"
mkdir -p "$work/gimp/gradients" "$work/in" "$work/ref" "$work/out"

plugin=$(find "$prefix/lib" -path '*/plug-ins/file-qvr/file-qvr')
[ -x "$plugin" ] || fail "no file-qvr plug-in under $prefix/lib"
echo "(plug-in-path \"$(dirname "$(dirname "$plugin")"):$system_plugins/file-png:$system_plugins/script-fu\")" \
  >"$work/gimp/gimprc"

batch="(define (convert in out)
  (let* ((image (car (gimp-file-load RUN-NONINTERACTIVE in in)))
         (drawable (car (gimp-image-get-active-drawable image))))
    (gimp-file-save RUN-NONINTERACTIVE image drawable out out)
    (gimp-image-delete image)))
(define (thumbnail in out)
  (let* ((image (car (file-qvr-load-thumb in 64)))
         (drawable (car (gimp-image-get-active-drawable image))))
    (gimp-file-save RUN-NONINTERACTIVE image drawable out out)
    (gimp-image-delete image)))"
names=()
for sample in "$samples"/*.qvr; do
  name=$(basename "$sample" .qvr)
  names+=("$name")
  "$qvr" decode --quiet "$sample" "$work/ref/$name.png"
  batch+="(convert \"$sample\" \"$work/out/$name.png\")(convert \"$sample\" \"$work/out/$name.again.qvr\")"
  batch+="(thumbnail \"$sample\" \"$work/out/$name.thumb.png\")"
done
cp "$samples/${names[0]}.qvr" "$work/in/by-content"
batch+="(convert \"$work/in/by-content\" \"$work/out/by-content.png\")"
"$fixture" palette247 "$work/in/palette247.png"
"$fixture" rgba-opaque "$work/in/opaque.png"
"$fixture" palette256 "$work/in/palette256.png"
batch+="(catch #f (convert \"$work/in/palette256.png\" \"$work/out/palette256.qvr\"))"
pngs=("$samples"/*.png "$work"/ref/*.png "$work/in/palette247.png" "$work/in/opaque.png")
for png in "${pngs[@]}"; do
  batch+="(convert \"$png\" \"$work/out/$(basename "$png" .png).qvr\")"
done
# A greyscale image with alpha, which export must bring to RGBA. The PNG keeps
# the colour of transparent pixels, so that `qvr encode` sees what GIMP holds.
batch+="(let* ((image (car (gimp-file-load RUN-NONINTERACTIVE \"$samples/badge.png\" \"badge.png\")))
               (drawable (car (gimp-image-get-active-drawable image))))
          (gimp-image-convert-grayscale image)
          (file-png-save2 RUN-NONINTERACTIVE image drawable \"$work/in/grey.png\" \"grey.png\" 0 9 0 0 0 0 0 0 1)
          (gimp-file-save RUN-NONINTERACTIVE image drawable \"$work/out/grey.qvr\" \"grey.qvr\")
          (gimp-image-delete image))"
head -c 2000 "$samples/${names[0]}.qvr" >"$work/in/damaged.qvr"
batch+="(catch #f (convert \"$work/in/damaged.qvr\" \"$work/out/damaged.png\"))"
# A changed byte in the colour rows, which the decoder finds at some row.
cp "$samples/badge-rgba.qvr" "$work/in/flipped.qvr"
byte=$(od -An -tu1 -j1464 -N1 "$work/in/flipped.qvr")
printf "$(printf '\\%03o' $((255 - byte)))" | dd of="$work/in/flipped.qvr" bs=1 seek=1464 conv=notrunc status=none
batch+="(catch #f (convert \"$work/in/flipped.qvr\" \"$work/out/flipped.png\"))"

GIMP2_DIRECTORY="$work/gimp" timeout 600 gimp-console-2.10 --no-interface --no-data --no-fonts \
  --batch-interpreter=plug-in-script-fu-eval -b "$batch" -b '(gimp-quit 0)' >"$work/gimp.log" 2>&1 ||
  { cat "$work/gimp.log"; fail "gimp-console failed"; }

for name in "${names[@]}"; do
  "$pixbuf_test" same "$work/out/$name.png" "$work/ref/$name.png"
  "$pixbuf_test" same "$work/out/$name.thumb.png" "$work/ref/$name.png"
done
"$pixbuf_test" same "$work/out/by-content.png" "$work/ref/${names[0]}.png"
echo "gimp_test: GIMP opens ${#names[@]} samples with the pixels qvr decodes, by extension and by content"
for png in "${pngs[@]}"; do
  name=$(basename "$png" .png)
  "$qvr" encode --quiet "$png" "$work/out/$name.qvr-tool.qvr"
  cmp "$work/out/$name.qvr" "$work/out/$name.qvr-tool.qvr" || fail "GIMP's $name.qvr differs from qvr encode's"
done
echo "gimp_test: GIMP exports ${#pngs[@]} PNGs as the bytes qvr encode writes"
"$qvr" encode --quiet "$work/in/grey.png" "$work/out/grey.qvr-tool.qvr"
cmp "$work/out/grey.qvr" "$work/out/grey.qvr-tool.qvr" || fail "GIMP's greyscale export differs from qvr encode's"
[ "$("$qvr" info "$work/out/grey.qvr" | grep -c 'depth 32')" = 1 ] || fail "greyscale with alpha did not become RGBA"
echo "gimp_test: GIMP exports a greyscale image with alpha as qvr encode does"
# PNG export clears the colour under full transparency; QVR export shows it was kept.
for name in "${names[@]}"; do
  cmp "$work/out/$name.again.qvr" "$work/out/$name.qvr-tool.qvr" || fail "GIMP does not write $name back as qvr does"
done
echo "gimp_test: GIMP writes each sample it opened back as qvr decode + encode do"
[ ! -e "$work/out/damaged.png" ] || fail "GIMP opened a damaged file"
grep -q "damaged QVR file" "$work/gimp.log" || { cat "$work/gimp.log"; fail "no clear message for a damaged file"; }
[ ! -e "$work/out/flipped.png" ] || fail "GIMP opened a file with a changed byte"
grep -Eq "flipped.qvr': damaged QVR file.*damaged at row [0-9]+ of the colour plane" "$work/gimp.log" ||
  { cat "$work/gimp.log"; fail "no row and plane for a changed byte"; }
echo "gimp_test: damaged files fail with the library's message, naming the row and plane where found"
"$qvr" decode --quiet "$work/out/palette247.qvr" "$work/out/palette247.png"
"$pixbuf_test" same "$work/out/palette247.png" "$work/in/palette247.png" || fail "GIMP changed a palette colour"
[ "$("$qvr" info "$work/out/opaque.qvr" | grep -c 'depth 24')" = 1 ] || fail "an opaque RGBA image gained an alpha plane"
[ ! -e "$work/out/palette256.qvr" ] || fail "GIMP exported 256 colours as an 8 bpp file"
grep -q "at most 254 colours besides white.*Convert the image to RGB" "$work/gimp.log" ||
  { cat "$work/gimp.log"; fail "no reason for refusing 256 colours"; }
echo "gimp_test: GIMP keeps every palette colour or refuses with the reason, and adds alpha only where needed"
