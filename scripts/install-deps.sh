#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: scripts/install-deps.sh [--list-missing] [native] [windows] [integrations] [fuzz] [bench]
#   (default: native); --list-missing prints what is missing and installs nothing
#   windows: the cross compilers (32-bit and x86-64), Wine for both, Xvfb and zip for
#            building, testing and packaging the two qvr.8bi modules, and qemu-i386
#            for running 32-bit Wine where the kernel has no 32-bit mode
#   integrations: gdk-pixbuf, the MIME database tools, GIMP and its plug-in headers
#   fuzz: clang and its libFuzzer runtime; bench: the peers and tools of the benchmark
set -euo pipefail

list_only=
[ "${1:-}" = --list-missing ] && { list_only=1; shift; }
groups=("$@")
[ ${#groups[@]} -eq 0 ] && groups=(native)

packages=()
for group in "${groups[@]}"; do
  case "$group" in
    native) packages+=(g++ cmake make pkg-config libspng-dev libgtest-dev clang-format-14) ;;
    windows) packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 googletest wine wine32:i386 wine64 xvfb
                        xauth zip qemu-user-static) ;;
    integrations) packages+=(libgdk-pixbuf-2.0-dev libgdk-pixbuf2.0-bin shared-mime-info libglib2.0-bin
                             xdg-utils libgimp2.0-dev gimp xvfb xauth) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    bench) packages+=(libqoi-dev libbenchmark-dev imagemagick webp) ;;
    *) echo "install-deps: unknown group $group" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ -n "$list_only" ]; then echo "${missing[*]}"; exit 0; fi
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root, or install them)" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# wine32 is a 32-bit package: its architecture must be known before the update.
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
