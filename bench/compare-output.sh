#!/usr/bin/env bash
# Checks that a converter writes the same bytes as a reference build for every
# PNG of a corpus, e.g. before and after an optimisation: the QVR file each
# encodes, and the PNG each decodes from the reference's file. A PNG that both
# builds refuse to encode (e.g. too many colours for 8 bpp) is counted apart.
# Usage: bench/compare-output.sh REFERENCE_QVR CANDIDATE_QVR CORPUS_DIR
set -uo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
same=0
differ=0
refused=0
for f in "$3"/*.png; do
  name=$(basename "$f" .png)
  "$1" encode -q "$f" "$work/$name.ref.qvr" 2>/dev/null; ref=$?
  "$2" encode -q "$f" "$work/$name.new.qvr" 2>/dev/null; new=$?
  if [ "$ref" -ne 0 ] && [ "$new" -ne 0 ]; then refused=$((refused + 1)); continue; fi
  if [ "$ref" -eq 0 ] && [ "$new" -eq 0 ] && cmp -s "$work/$name.ref.qvr" "$work/$name.new.qvr" &&
     "$1" decode -q "$work/$name.ref.qvr" "$work/$name.ref.png" &&
     "$2" decode -q "$work/$name.ref.qvr" "$work/$name.new.png" &&
     cmp -s "$work/$name.ref.png" "$work/$name.new.png"; then same=$((same + 1)); else
    echo "differs: $name"; differ=$((differ + 1)); fi
done
echo "compare: $same passed, $differ failed, $refused refused by both"
[ "$differ" -eq 0 ]
