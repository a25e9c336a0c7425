#!/usr/bin/env bash
# Runs one architecture's qvrwic.dll under Wine in a fresh prefix of its own:
# its export and import tables; regsvr32 and the keys it writes; every sample,
# damaged sample and fuzz corpus file through WIC's factory, compared with
# what the library gives natively (wic_reference); the component enumerator;
# regsvr32 /u and the registry compared with before registering.
# Usage: run_wic_tests.sh x86|x64 WINDOWS_BUILD_DIR NATIVE_WIC_REFERENCE SAMPLES_DIR CORPUS_DIR...
# Exit status: 0 passed, 1 failed (also when this machine cannot run the
# architecture's programs: the DLL then has not been tested, which is a failure).
set -uo pipefail
arch=$1
win=$(cd "$2" && pwd)
reference=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
samples=$(cd "$4" && pwd)
shift 4
corpora=("$@")

here=$(cd "$(dirname "$0")" && pwd)
wine64=/usr/lib/wine/wine64
case "$arch" in
  x86) loader=/usr/lib/wine/wine; tools=i686-w64-mingw32 ;;
  x64) loader=$wine64; tools=x86_64-w64-mingw32 ;;
  *) echo "run_wic_tests: unknown architecture $arch" >&2; exit 2 ;;
esac
dll=$win/wic/qvrwic.dll
# As the module's tests: a 64-bit prefix in which 32-bit programs run beside
# 64-bit ones, emulated where the kernel has no 32-bit mode.
. "$here/emulation/wine_env.sh"
wine_environment "$arch" "$win" "$win/wic-wineprefix" ||
  { echo "FAIL (wic x86): this machine cannot run 32-bit programs (see above); qvrwic.dll was NOT run"; exit 1; }

passes=0
failures=0
pass() { passes=$((passes + 1)); }
fail() { echo "FAIL (wic $arch): $*"; failures=$((failures + 1)); }
finish() {
  echo "wine wic ($arch): $passes passed, $failures failed"
  [ "$failures" -eq 0 ]
  exit
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The tables, read with the cross tools: the four COM exports and nothing
# but system DLLs imported.
table=$("$tools-objdump" -p "$dll") || { fail "$dll unreadable"; finish; }
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" | grep -E '^\s*\[ *[0-9]+\] ' | awk '{print $NF}' | tr '\n' ' ')
if [ "$exports" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ]; then pass; else
  fail "exports: $exports"; fi
imports=$(grep 'DLL Name:' <<<"$table" | awk '{print toupper($3)}' | sort | tr '\n' ' ')
if [ "$imports" = "ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL OLE32.DLL " ]; then pass; else fail "imports: $imports"; fi

if ! "$loader" --version >/dev/null 2>&1; then
  fail "'$loader --version' fails ($("$loader" --version 2>&1 | tail -n 1)); qvrwic.dll was NOT run"
  finish
fi

# The files and what the library makes of each: the samples, cut and damaged
# copies of them, and the fuzz corpora.
mkdir -p "$work/files"
for f in "$samples"/*.qvr; do
  name=$(basename "$f" .qvr)
  size=$(stat -c %s "$f")
  cp "$f" "$work/files/$name.qvr"
  head -c 47 "$f" >"$work/files/$name-cut-47.qvr"
  head -c 48 "$f" >"$work/files/$name-cut-48.qvr"
  head -c $((size / 2)) "$f" >"$work/files/$name-cut-half.qvr"
  head -c $((size - 1)) "$f" >"$work/files/$name-cut-last.qvr"
  cp "$f" "$work/files/$name-wide.qvr"  # width 8191 over the same data
  printf '\377\037' | dd of="$work/files/$name-wide.qvr" bs=1 seek=24 conv=notrunc status=none
  cp "$f" "$work/files/$name-flipped.qvr"
  printf '\375' | dd of="$work/files/$name-flipped.qvr" bs=1 seek=$((size * 3 / 4)) conv=notrunc status=none
done
for dir in "${corpora[@]}"; do
  for f in "$dir"/*; do cp "$f" "$work/files/corpus-$(basename "$dir")-$(basename "$f")"; done
done
: >"$work/manifest"
for f in "$work/files"/*; do
  "$reference" "$f" "$f.ref" || { fail "wic_reference $f"; continue; }
  printf 'Z:%s\tZ:%s\n' "$f" "$f.ref" >>"$work/manifest"
done
sample=Z:$work/files/$(basename "$(ls "$samples"/*indexed*.qvr | head -n 1)")
other=Z:$(ls "$samples"/*.png | head -n 1)

# A prefix of the test's own, with the registry it had when new at every run
# (making a prefix takes minutes here; its registry files are saved once).
# One without its 32-bit system folder cannot run the x86 DLL.
new_registry=$win/wic-wineprefix-new
wineserver -w
if [ ! -f "$new_registry/system.reg" ] || [ ! -d "$WINEPREFIX/drive_c" ]; then
  rm -rf "$WINEPREFIX" "$new_registry"
  if ! "$wine64" wineboot -i >"$work/out" 2>&1 ||
     { [ "$arch" = x86 ] && [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; }; then
    fail "making the Wine prefix $WINEPREFIX failed ($(tail -n 1 "$work/out")); qvrwic.dll was NOT run"
    finish
  fi
  wineserver -w
  mkdir -p "$new_registry.tmp" && cp "$WINEPREFIX"/*.reg "$new_registry.tmp/" && mv "$new_registry.tmp" "$new_registry"
fi
cp "$new_registry"/*.reg "$WINEPREFIX/"
export_registry() {
  "$loader" regedit /E "Z:$work/$1-machine.reg" 'HKEY_LOCAL_MACHINE\Software' >/dev/null 2>&1 &&
    "$loader" regedit /E "Z:$work/$1-user.reg" 'HKEY_CURRENT_USER\Software' >/dev/null 2>&1 &&
    cat "$work/$1-machine.reg" "$work/$1-user.reg" | iconv -f UTF-16LE -t UTF-8 | tr -d '\r' >"$work/$1.reg"
}
export_registry before || fail "exporting the registry before registering"

if "$loader" regsvr32 /s "Z:$dll" >"$work/out" 2>&1; then pass; else fail "regsvr32"; cat "$work/out"; fi
export_registry registered || fail "exporting the registry after registering"
added=$(diff "$work/before.reg" "$work/registered.reg" | sed -n 's/^> //p')
clsid='{58AD4482-7860-44B5-BDF7-BD2E23BF2280}'
# The decoder's keys, in the registry view of the DLL's architecture.
view='Classes\'
[ "$arch" = x86 ] && view='Classes\Wow6432Node\'
for want in "${view}CLSID\\$clsid\\InprocServer32]" "${view}CLSID\\$clsid\\Patterns\\0]" \
            "${view}CLSID\\{7ED96837-96F0-4812-B211-F13C24117ED3}\\Instance\\$clsid]" \
            '"ThreadingModel"="Both"' 'qvrwic.dll"'; do
  if grep -qiF -- "$want" <<<"$added"; then pass; else fail "registering did not add $want"; fi
done
# The extension's keys, which the 64-bit DLL writes and the 32-bit one, under
# WoW64, leaves to it.
for want in '"Content Type"="image/x-qvr"' '"PerceivedType"="image"' \
            'Classes\.qvr\ShellEx\{e357fccd-a995-4576-b01f-234630154e96}]' \
            'Classes\.qvr\ShellEx\{8895b1c6-b41f-4c1c-a562-0d564250836f}]' \
            'Classes\SystemFileAssociations\.qvr\ShellEx\ContextMenuHandlers\ShellImagePreview]' \
            '".qvr"="picture"'; do
  if grep -qiF -- "$want" <<<"$added"; then written=yes; else written=no; fi
  if [ "$written" = "$([ "$arch" = x64 ] && echo yes || echo no)" ]; then pass; else
    fail "registering: $want written: $written"; fi
done

if "$loader" "$win/wic/wic_test.exe" registered "Z:$work/manifest" "$sample" "$other" >"$work/out" 2>&1; then pass; else
  fail "wic_test registered"; fi
grep -E '^(FAIL|wic_test)' "$work/out"

if "$loader" regsvr32 /u /s "Z:$dll" >"$work/out" 2>&1; then pass; else fail "regsvr32 /u"; cat "$work/out"; fi
if "$loader" "$win/wic/wic_test.exe" unregistered "$sample" >"$work/out" 2>&1; then pass; else
  fail "wic_test unregistered"; fi
grep -E '^(FAIL|wic_test)' "$work/out"
export_registry unregistered || fail "exporting the registry after unregistering"
if diff "$work/before.reg" "$work/unregistered.reg" >"$work/left"; then pass; else
  fail "unregistering left the registry different from before:"; head -n 40 "$work/left"; fi
wineserver -w
finish
