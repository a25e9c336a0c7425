#!/usr/bin/env bash
# Builds everything and converts the bundled samples: every QVR file in
# samples/ to PNG, and every PNG there back to QVR, first with the converter,
# then through the plug-in module driven by the test host. Results go to out/.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh native windows integrations
scripts/build-windows.sh
scripts/build.sh
mkdir -p out
for f in samples/*.qvr; do
  build/qvr decode "$f" "out/$(basename "${f%.qvr}").png"
done
for f in samples/*.png; do
  build/qvr encode "$f" "out/$(basename "${f%.png}").qvr"
done
build/qvr info out/*.qvr

# The same files through the plug-in module's entry point, as the editor opens and saves them.
for f in samples/*.qvr; do
  echo "qvrhost open $f"
  build/qvrhost open "$f" "out/$(basename "${f%.qvr}").host.png"
done
echo "qvrhost save samples/badge.png"
build/qvrhost save samples/badge.png out/badge.host.qvr
if cmp out/badge.qvr out/badge.host.qvr; then
  echo "run: the module and the converter wrote the same bytes"
else
  echo "run: the module and the converter wrote different bytes for samples/badge.png" >&2
  exit 1
fi
# The library, the desktop files, the gdk-pixbuf loader and the GIMP plug-in, installed into out/installed.
cmake --install build --prefix "$PWD/out/installed" >/dev/null
echo "run: installed libqvr, qvr, the gdk-pixbuf loader, the MIME type, the thumbnailer and the GIMP plug-in under out/installed"
echo "run: converted the samples; the results are in out/"
echo "run: the Windows modules are build-win/qvr.8bi (32-bit) and build-win64/qvr.8bi (64-bit)"
