#!/usr/bin/env bash
# Checks the installed tree: every file at the place its host looks in, and a
# C program built with `pkg-config --cflags --libs qvr` against it, run over
# each sample. Usage: install_test.sh PREFIX SAMPLES CONSUMER.c WORKDIR [CFLAGS...]
set -euo pipefail
prefix=$1 samples=$2 consumer=$3 work=$4
shift 4
rm -rf "$work" && mkdir -p "$work"

fail() { echo "install_test: $*" >&2; exit 1; }
expect() { [ -e "$prefix/$1" ] || fail "missing $prefix/$1"; }
expect bin/qvr
expect include/qvr/qvr.h
expect lib/libqvr.a
expect lib/pkgconfig/qvr.pc
expect lib/gimp/2.0/plug-ins/file-qvr/file-qvr
expect share/mime/packages/qvr.xml
expect share/thumbnailers/qvr.thumbnailer
loader_dir=$(pkg-config --variable=gdk_pixbuf_moduledir gdk-pixbuf-2.0)
expect "${loader_dir#$(pkg-config --variable=prefix gdk-pixbuf-2.0)/}/libpixbufloader-qvr.so"
[ "$(readelf -d "$prefix/lib/libqvr.so" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')" = libqvr.so.1 ] ||
  fail "libqvr.so has no SONAME libqvr.so.1"
exported=$(nm -D --defined-only "$prefix/lib/libqvr.so" | awk '$2 == "T" {print $3}' | grep -cv '^qvr_') || true
[ "$exported" = 0 ] || fail "libqvr.so exports $exported functions outside the qvr_ names"

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -pedantic -Werror "$@" -o "$work/consumer" "$consumer" $(pkg-config --cflags --libs qvr)
for sample in "$samples"/*.qvr; do
  LD_LIBRARY_PATH="$prefix/lib" "$work/consumer" "$sample" "$work/$(basename "$sample")"
done
# The static library alone, for programs that ship without libqvr.so.
# shellcheck disable=SC2046
cc -std=c99 "$@" -o "$work/consumer-static" "$consumer" $(pkg-config --cflags qvr) "$prefix/lib/libqvr.a" \
  $(pkg-config --static --libs-only-l qvr | sed 's/-lqvr//')
"$work/consumer-static" "$samples/badge-rgba.qvr" "$work/static.qvr"
echo "install_test: the installed tree is complete; the consumer built and ran against it"
