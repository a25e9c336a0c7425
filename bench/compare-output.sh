#!/usr/bin/env bash
# Checks that a converter writes the same bytes as a reference build for every
# PNG of a corpus, e.g. before and after an optimisation.
# Usage: bench/compare-output.sh REFERENCE_QVR CANDIDATE_QVR CORPUS_DIR
set -uo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
same=0
differ=0
for f in "$3"/*.png; do
  name=$(basename "$f" .png)
  "$1" encode -q "$f" "$work/$name.ref.qvr" && "$2" encode -q "$f" "$work/$name.new.qvr"
  if cmp -s "$work/$name.ref.qvr" "$work/$name.new.qvr"; then same=$((same + 1)); else
    echo "differs: $name"; differ=$((differ + 1)); fi
done
echo "compare: $same passed, $differ failed"
[ "$differ" -eq 0 ]
