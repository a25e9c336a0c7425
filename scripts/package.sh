#!/usr/bin/env bash
# Builds both Windows modules and packs them for users:
# dist/qvr-<version>-windows.zip with x86/qvr.8bi, x64/qvr.8bi and INSTALL.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh windows
scripts/build-windows.sh
version=$(sed -n 's/^project(qvr VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package: no version in CMakeLists.txt" >&2; exit 1; }
name=qvr-$version-windows

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/x86" "$stage/x64"
cp build-win/qvr.8bi "$stage/x86/qvr.8bi"
cp build-win64/qvr.8bi "$stage/x64/qvr.8bi"
# Windows line endings, so that any text editor shows the lines.
sed 's/$/\r/' >"$stage/INSTALL.txt" <<TEXT
QVR file format module $version for Windows
===========================================

This package holds the same module built twice:

  x64\\qvr.8bi   for a 64-bit editor (every release of recent years)
  x86\\qvr.8bi   for an older 32-bit editor

Each editor loads only modules built for its own architecture, so pick the
file that matches yours. If you are unsure, look at the editor's folder: a
64-bit editor is usually installed under "C:\\Program Files", a 32-bit one
under "C:\\Program Files (x86)".

Installing
----------
1. Quit the editor.
2. Copy qvr.8bi from the x64 or x86 folder into the editor's "Plug-ins"
   folder, for example its "Plug-ins\\File Formats" folder. Copy only one of
   the two files.
3. Start the editor again.

Checking that it loaded
-----------------------
Open Help > About Plug-in: "Brimwater QVR" is listed there, and choosing it
shows the module's about box. QVR then appears among the formats of the Open
and Save As dialogs, for files with the extension .QVR.

When the format does not appear
-------------------------------
- Wrong architecture: a 64-bit editor ignores x86\\qvr.8bi and a 32-bit one
  ignores x64\\qvr.8bi. Replace the file with the one from the other folder.
- Blocked download: Windows may block files that came from the internet. In
  Explorer, right-click qvr.8bi, choose Properties and tick "Unblock" (or
  unblock the zip file before extracting it), then restart the editor.
- Another plug-in claims the extension: if another module also reads .QVR
  files, the editor may offer that one instead. Move the other module out of
  the Plug-ins folder, or choose "Brimwater QVR" explicitly in the Open
  dialog's format list.
- The module needs nothing else: it carries its own run-time code and uses
  only Windows' own system libraries.
TEXT

mkdir -p dist
(cd "$stage" && zip -qX "$name.zip" x86/qvr.8bi x64/qvr.8bi INSTALL.txt)
mv "$stage/$name.zip" "dist/$name.zip.tmp"
mv "dist/$name.zip.tmp" "dist/$name.zip"
echo "package: dist/$name.zip"
