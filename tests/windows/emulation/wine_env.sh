# Sourced by the Wine test scripts: the environment of a test's own 64-bit
# Wine prefix, in which 32-bit programs run beside 64-bit ones. Making a
# prefix starts 32-bit processes as well, so every architecture takes the
# emulation's fixes where 32-bit programs are emulated (setup.sh); a 32-bit
# test cannot run without 32-bit programs, a 64-bit one can, and the 32-bit
# debugger cannot run under emulation, so there a crash simply ends the process.
# No .NET or HTML engine: a new prefix then never asks to download one.
# Usage: wine_environment ARCH WINDOWS_BUILD_DIR PREFIX [SKIP_SETUP]; returns 1
# when ARCH is x86 and 32-bit programs cannot be made to run.
wine_environment() {
  local arch=$1 win=$2 prefix=$3 skip_setup=${4:-}
  local emulation=$win/i386-emulation overrides="mscoree,mshtml="
  if [ -z "$skip_setup" ] && ! "$(dirname "${BASH_SOURCE[0]}")/setup.sh" "$emulation" && [ "$arch" = x86 ]; then
    return 1
  fi
  if [ -s "$emulation/preload" ]; then
    export LD_PRELOAD; LD_PRELOAD=$(cat "$emulation/preload")
    overrides+=",winedbg.exe="
  fi
  export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES=$overrides
}
