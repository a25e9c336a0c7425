#!/usr/bin/env bash
# Builds everything and converts the bundled samples: every QVR file in
# samples/ to PNG, and every PNG there back to QVR. Results go to out/.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh native
scripts/build.sh
mkdir -p out
for f in samples/*.qvr; do
  build/qvr decode "$f" "out/$(basename "${f%.qvr}").png"
done
for f in samples/*.png; do
  build/qvr encode "$f" "out/$(basename "${f%.png}").qvr"
done
build/qvr info out/*.qvr
echo "run: converted the samples; the results are in out/"
