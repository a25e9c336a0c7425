#!/usr/bin/env bash
# Runs the Windows build under Wine: the module's own tests (resources, message
# boxes), opens and saves through the real DLL compared with the native build,
# and the DLL's export and import tables.
# Usage: run_wine_tests.sh WINDOWS_BUILD_DIR NATIVE_QVRHOST SAMPLES_DIR
set -uo pipefail
win=$(cd "$1" && pwd)
native=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
samples=$(cd "$3" && pwd)

export WINEPREFIX="$win/wineprefix" WINEARCH=win32 WINEDEBUG=-all

# A prefix of the tests' own, made before any display exists; its wineserver
# must be gone before the tests start under Xvfb, or no window ever activates.
# Unmanaged X11 windows close at once instead of after a two-second wait.
if [ -z "${QVR_UNDER_XVFB:-}" ]; then
  if [ ! -f "$WINEPREFIX/.qvr-ready" ]; then
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.qvr-ready"
  fi
  wineserver -w
  QVR_UNDER_XVFB=1 exec xvfb-run -a "$0" "$@"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passes=0
failures=0
pass() { passes=$((passes + 1)); }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cd "$win" || exit 1
if wine windows_tests.exe; then pass; else fail "windows_tests.exe"; fi

# Opening and saving through the DLL gives what the native build gives.
for f in "$samples"/*.qvr; do
  name=$(basename "$f" .qvr)
  "$native" open "$f" "$work/$name.native.doc" >/dev/null || fail "native open $name"
  if wine qvrhost.exe open "Z:$f" "Z:$work/$name.wine.doc" >"$work/out" 2>&1 &&
     cmp -s "$work/$name.native.doc" "$work/$name.wine.doc"; then pass; else
    fail "open $name differs from the native build"; cat "$work/out"; fi
  "$native" save "$work/$name.native.doc" "$work/$name.native.qvr" >/dev/null || fail "native save $name"
  if wine qvrhost.exe save "Z:$work/$name.native.doc" "Z:$work/$name.wine.qvr" >"$work/out" 2>&1 &&
     cmp -s "$work/$name.native.qvr" "$work/$name.wine.qvr"; then pass; else
    fail "save $name differs from the native build"; cat "$work/out"; fi
done

# The DLL exports ENTRYPOINT by that name and imports only system DLLs.
table=$(i686-w64-mingw32-objdump -p "$win/qvr.8bi")
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" | grep -E '^\s*\[ *[0-9]+\] ' | awk '{print $NF}')
if [ "$exports" = "ENTRYPOINT" ]; then pass; else fail "exports: $exports"; fi
imports=$(grep 'DLL Name:' <<<"$table" | awk '{print toupper($3)}' | sort | tr '\n' ' ')
if [ "$imports" = "KERNEL32.DLL MSVCRT.DLL USER32.DLL " ]; then pass; else fail "imports: $imports"; fi

echo "wine: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
