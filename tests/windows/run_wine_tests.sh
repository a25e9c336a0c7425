#!/usr/bin/env bash
# Runs one architecture's Windows build under Wine: the module's own tests
# (resources, message boxes, the file layer, the data slot), opens and saves
# through the real DLL compared with the native build, a host of this
# architecture refusing the other architecture's module, and the DLL's export,
# import and resource tables.
# Usage: run_wine_tests.sh x86|x64 WINDOWS_BUILD_DIR NATIVE_QVRHOST SAMPLES_DIR [OTHER_ARCH_MODULE]
# Exit status: 0 passed, 1 failed (a machine that cannot be made to run the
# architecture's programs fails, saying why).
#
# Both architectures use a 64-bit prefix made by the 64-bit loader, in which
# 32-bit programs run beside 64-bit ones (emulation/wine_env.sh). Where the
# kernel has no 32-bit mode, emulation/setup.sh has qemu-i386 run the 32-bit
# Wine processes, with its fixes preloaded.
set -uo pipefail
arch=$1
win=$(cd "$2" && pwd)
native=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
samples=$(cd "$4" && pwd)
other=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
wine64=/usr/lib/wine/wine64

case "$arch" in
  x86) loader=/usr/lib/wine/wine; tools=i686-w64-mingw32; code_key=wx86; foreign_key=8664 ;;
  x64) loader=$wine64; tools=x86_64-w64-mingw32; code_key=8664; foreign_key=wx86 ;;
  *) echo "run_wine_tests: unknown architecture $arch" >&2; exit 2 ;;
esac
. "$here/emulation/wine_env.sh"
wine_environment "$arch" "$win" "$win/wineprefix" "${QVR_UNDER_XVFB:-}" ||
  { echo "FAIL (x86): this machine cannot run 32-bit programs (see above); the x86 module was NOT run"; exit 1; }

passes=0
failures=0
pass() { passes=$((passes + 1)); }
fail() { echo "FAIL ($arch): $*"; failures=$((failures + 1)); }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A PiPL property header: 8BIM, the key, 0, the length 12, then "ENTRYPOINT\0\0",
# as hex bytes; the codes are 32-bit little-endian values, so they lie reversed.
hex() { od -An -tx1 -v | tr -d ' \n'; }
code_property() {
  printf '4d494238%s000000000c000000454e545259504f494e540000' "$(printf '%s' "${1:3:1}${1:2:1}${1:1:1}${1:0:1}" | hex)"
}
# The x86-64 resource compiler reads the resources of either architecture's DLL.
resources_of() { x86_64-w64-mingw32-windres -J coff -i "$1" -O res -o "$work/resources.res" && hex <"$work/resources.res"; }

# Checks that need no Windows: the DLL's tables, read with the cross tools.
static_checks() {
  local table exports imports resources
  table=$("$tools-objdump" -p "$win/qvr.8bi")
  exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" | grep -E '^\s*\[ *[0-9]+\] ' | awk '{print $NF}')
  if [ "$exports" = "ENTRYPOINT" ]; then pass; else fail "exports: $exports"; fi
  imports=$(grep 'DLL Name:' <<<"$table" | awk '{print toupper($3)}' | sort | tr '\n' ' ')
  if [ "$imports" = "KERNEL32.DLL MSVCRT.DLL USER32.DLL " ]; then pass; else fail "imports: $imports"; fi
  # The property list names this architecture's code property and not the other's.
  resources=$(resources_of "$win/qvr.8bi") || fail "resources unreadable"
  if [[ $resources == *"$(code_property "$code_key")"* && $resources != *"$(code_property "$foreign_key")"* ]]
  then pass; else fail "the property list does not name $code_key alone"; fi
  # The other architecture's module has the same resources but for that key.
  if [ -n "$other" ]; then
    local theirs
    theirs=$(resources_of "$other") || fail "$other: resources unreadable"
    if [ "${theirs/"$(code_property "$foreign_key")"/"$(code_property "$code_key")"}" = "$resources" ]
    then pass; else fail "the resources differ from $other's in more than the code property"; fi
  fi
}

if [ -z "${QVR_UNDER_XVFB:-}" ]; then
  static_checks
  if [ "$failures" -ne 0 ]; then echo "wine ($arch): $failures static checks failed"; exit 1; fi
  if ! "$loader" --version >/dev/null 2>&1; then
    echo "FAIL ($arch): '$loader --version' fails ($("$loader" --version 2>&1 | tail -n 1));" \
         "the $arch module was NOT run"
    exit 1
  fi
  # A prefix of the tests' own, made before any display exists; its wineserver
  # must be gone before the tests start under Xvfb, or no window ever activates.
  # Unmanaged X11 windows close at once instead of after a two-second wait.
  ready_mark=$WINEPREFIX/.qvr-ready-wow64
  if [ ! -f "$ready_mark" ]; then
    rm -rf "$WINEPREFIX"
    # Marked ready only when it was made, so that a broken prefix is made again
    # next time; for the x86 module, one without its 32-bit system folder is
    # broken too.
    "$wine64" wineboot -i >/dev/null 2>&1 &&
      "$wine64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 &&
      { [ "$arch" = x64 ] || [ -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; } && ready=1
    wineserver -w
    if [ -z "${ready:-}" ]; then
      echo "FAIL ($arch): making the Wine prefix $WINEPREFIX failed; the $arch module was NOT run"; exit 1
    fi
    touch "$ready_mark"
  fi
  wineserver -w
  QVR_UNDER_XVFB=$passes exec xvfb-run -a "$0" "$@"
fi
passes=$QVR_UNDER_XVFB  # the static checks' passes

cd "$win" || exit 1
if "$loader" windows_tests.exe; then pass; else fail "windows_tests.exe"; fi

# Opening and saving through the DLL gives what the native build gives.
for f in "$samples"/*.qvr; do
  name=$(basename "$f" .qvr)
  "$native" open "$f" "$work/$name.native.doc" >/dev/null || fail "native open $name"
  if "$loader" qvrhost.exe open "Z:$f" "Z:$work/$name.wine.doc" >"$work/out" 2>&1 &&
     cmp -s "$work/$name.native.doc" "$work/$name.wine.doc"; then pass; else
    fail "open $name differs from the native build"; cat "$work/out"; fi
  "$native" save "$work/$name.native.doc" "$work/$name.native.qvr" >/dev/null || fail "native save $name"
  if "$loader" qvrhost.exe save "Z:$work/$name.native.doc" "Z:$work/$name.wine.qvr" >"$work/out" 2>&1 &&
     cmp -s "$work/$name.native.qvr" "$work/$name.wine.qvr"; then pass; else
    fail "save $name differs from the native build"; cat "$work/out"; fi
done

# Documents with every command planted at every offset of a literal stretch
# (stress_documents.cpp): saved by the module as by the native build.
stress=$work/stress
mkdir -p "$stress"
if [ -z "${QVR_STRESS_DOCUMENTS:-}" ] || ! "$QVR_STRESS_DOCUMENTS" "$stress"; then
  fail "no stress documents (QVR_STRESS_DOCUMENTS='${QVR_STRESS_DOCUMENTS:-}')"
fi
for d in "$stress"/*.doc; do
  [ -e "$d" ] || continue
  name=$(basename "$d" .doc)
  "$native" save "$d" "$work/$name.native.qvr" >/dev/null || fail "native save $name"
  if "$loader" qvrhost.exe save "Z:$d" "Z:$work/$name.wine.qvr" >"$work/out" 2>&1 &&
     cmp -s "$work/$name.native.qvr" "$work/$name.wine.qvr"; then pass; else
    fail "save $name differs from the native build"; cat "$work/out"; fi
done

# A host of this architecture refuses the other's module: the load fails, the
# host says so and ends normally (status 1), nothing crashes.
if [ -n "$other" ]; then
  "$loader" qvrhost.exe about --module "Z:$other" >"$work/out" 2>&1
  status=$?
  if [ "$status" -eq 1 ] && grep -q "cannot load .*another architecture" "$work/out"; then pass; else
    fail "loading the other architecture's module: status $status"; cat "$work/out"; fi
fi

echo "wine ($arch): $passes passed, $failures failed"
[ "$failures" -eq 0 ]
