#!/usr/bin/env bash
# Builds both Windows modules and both WIC decoders and packs them for users:
# dist/qvr-<version>-windows.zip with x86/ and x64/ (qvr.8bi, qvrwic.dll) and INSTALL.txt.
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
cp build-win/wic/qvrwic.dll "$stage/x86/qvrwic.dll"
cp build-win64/wic/qvrwic.dll "$stage/x64/qvrwic.dll"
title="QVR for Windows $version"
# Windows line endings, so that any text editor shows the lines.
sed 's/$/\r/' >"$stage/INSTALL.txt" <<TEXT
$title
${title//?/=}

This package holds two things, each built for 64-bit and for 32-bit x86:

  qvr.8bi      the file format module for the editor (first part below)
  qvrwic.dll   the decoder that lets Windows itself read QVR files:
               Explorer's thumbnails and preview pane, Photos, and every
               program that reads images through the Windows Imaging
               Component (second part below)

The editor's module
-------------------
The same module is built twice:

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

The Windows decoder (qvrwic.dll)
--------------------------------
  x64\\qvrwic.dll   for 64-bit programs (Explorer, Photos, Paint on 64-bit Windows)
  x86\\qvrwic.dll   for 32-bit programs, and for everything on 32-bit Windows

On 64-bit Windows register both, so that 32-bit programs read QVR files too;
there Explorer's thumbnails and preview come with the x64 one.
Windows loads the DLL from where it was registered, so put it in a folder it
will stay in first.

Registering
1. Copy the x64 and x86 folders to a lasting place, for example
   "C:\\Program Files\\QVR" (giving C:\\Program Files\\QVR\\x64\\qvrwic.dll).
2. Open a Command Prompt as administrator: Start, type cmd, right-click
   "Command Prompt" and choose "Run as administrator".
3. On 64-bit Windows run both:
     regsvr32 "C:\\Program Files\\QVR\\x64\\qvrwic.dll"
     %SystemRoot%\\SysWOW64\\regsvr32 "C:\\Program Files\\QVR\\x86\\qvrwic.dll"
   On 32-bit Windows run:
     regsvr32 "C:\\Program Files\\QVR\\x86\\qvrwic.dll"
   Each says "DllRegisterServer in ... succeeded". Without administrator
   rights it fails with an access-denied error.

Checking that it worked
- In Explorer, open a folder of .qvr files and choose View > Large icons: the
  files show their pictures. Select one with the Preview pane open
  (View > Preview pane): the pane shows it. If Explorer still shows blank
  icons it had cached, sign out and in again, or clear "Thumbnails" in Disk
  Cleanup.
- Right-click a .qvr file, Open with, Photos: the picture opens.
- In a Command Prompt:
     reg query "HKCR\\CLSID\\{58AD4482-7860-44B5-BDF7-BD2E23BF2280}"
  lists "QVR Decoder".

Removing
1. Close the programs that show QVR files (or sign out and in again after
   step 2, since Explorer keeps the DLL loaded).
2. In a Command Prompt run as administrator:
     regsvr32 /u "C:\\Program Files\\QVR\\x64\\qvrwic.dll"
     %SystemRoot%\\SysWOW64\\regsvr32 /u "C:\\Program Files\\QVR\\x86\\qvrwic.dll"
   (on 32-bit Windows only: regsvr32 /u "C:\\Program Files\\QVR\\x86\\qvrwic.dll").
   This removes every registry entry the decoder made and leaves settings
   of other programs for .qvr files alone.
3. Delete the folder. Delete it only after step 2: a decoder deleted while
   still registered leaves its entries behind until registered and removed
   again.
TEXT

mkdir -p dist
(cd "$stage" && zip -qX "$name.zip" x86/qvr.8bi x64/qvr.8bi x86/qvrwic.dll x64/qvrwic.dll INSTALL.txt)
mv "$stage/$name.zip" "dist/$name.zip.tmp"
mv "dist/$name.zip.tmp" "dist/$name.zip"
echo "package: dist/$name.zip"
