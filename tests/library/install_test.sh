#!/usr/bin/env bash
# Checks the installed tree: every file at the place its host looks in, a C
# program built with `pkg-config --cflags --libs qvr` against it and run over
# each sample, and the README's library example.
# Usage: install_test.sh PREFIX SAMPLES CONSUMER.c README WORKDIR [CFLAGS...]
set -euo pipefail
prefix=$1 samples=$2 consumer=$3 readme=$4 work=$5
shift 5
source "$(dirname "$0")/workdir.sh"
fresh_workdir "$work"

fail() { echo "install_test: $*" >&2; exit 1; }
qvr_kind() { "$prefix/bin/qvr" info "$1" | sed -n 's/.*, depth \([0-9]*\),.*/\1/p'; }
expect() { [ -e "$prefix/$1" ] || fail "missing $prefix/$1"; }
# Each integration only where this build made it (QVR_INSTALLED lists them).
built() { [[ " ${QVR_INSTALLED:-} " == *" $1 "* ]]; }
expect include/qvr/qvr.h
expect lib/libqvr.a
expect lib/pkgconfig/qvr.pc
if built tools; then expect bin/qvr; fi
if built gimp; then expect lib/gimp/2.0/plug-ins/file-qvr/file-qvr; fi
if built desktop; then
  expect share/mime/packages/qvr.xml
  expect share/thumbnailers/qvr.thumbnailer
fi
if built gdk-pixbuf; then
  loader_dir=$(pkg-config --variable=gdk_pixbuf_moduledir gdk-pixbuf-2.0)
  expect "${loader_dir#$(pkg-config --variable=prefix gdk-pixbuf-2.0)/}/libpixbufloader-qvr.so"
fi
[ "$(readelf -d "$prefix/lib/libqvr.so" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')" = libqvr.so.2 ] ||
  fail "libqvr.so has no SONAME libqvr.so.2"
exported=$(nm -D --defined-only "$prefix/lib/libqvr.so" | awk '$2 == "T" {print $3}' | grep -cv '^qvr_') || true
[ "$exported" = 0 ] || fail "libqvr.so exports $exported functions outside the qvr_ names"

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
# shellcheck disable=SC2046
"${CC:-cc}" -std=c99 -Wall -Wextra -pedantic -Werror "$@" -o "$work/consumer" "$consumer" $(pkg-config --cflags --libs qvr)
for sample in "$samples"/*.qvr; do
  LD_LIBRARY_PATH="$prefix/lib" "$work/consumer" "$sample" "$work/$(basename "$sample")"
done
# The README's examples, as a reader would copy them: the Nth C block of its library section.
readme_example() {
  sed -n '/^## The library/,/^## /p' "$readme" |
    awk -v want="$1" '/^```c$/ { block++; inside = 1; next } /^```/ { inside = 0; next } inside && block == want'
}
readme_example 1 >"$work/example.c"
grep -q qvr_decode_file "$work/example.c" || fail "no example found in $readme"
# shellcheck disable=SC2046
"${CC:-cc}" -std=c99 -Wall -Wextra -Werror "$@" -o "$work/example" "$work/example.c" $(pkg-config --cflags --libs qvr)
LD_LIBRARY_PATH="$prefix/lib" "$work/example" "$samples/sunset-indexed.qvr" "$work/example.qvr"
if built tools; then
  [ "$(qvr_kind "$work/example.qvr")" = 32 ] || fail "the README's example did not write an RGBA file"
fi
# The streaming example: every sample pulled and pushed, the same rows both ways.
readme_example 2 >"$work/stream.c"
grep -q qvr_decoder_new_push "$work/stream.c" || fail "no streaming example found in $readme"
# shellcheck disable=SC2046
"${CC:-cc}" -std=c99 -Wall -Wextra -Werror "$@" -o "$work/stream" "$work/stream.c" $(pkg-config --cflags --libs qvr)
for sample in "$samples"/*.qvr; do
  said=$(LD_LIBRARY_PATH="$prefix/lib" "$work/stream" "$sample") || fail "the streaming example failed on $sample"
  [[ "$said" =~ ^([1-9][0-9]*)\ rows\ pulled,\ ([0-9]+)\ pushed$ ]] && [ "${BASH_REMATCH[1]}" = "${BASH_REMATCH[2]}" ] ||
    fail "the streaming example said \"$said\" for $sample"
done

# The static library alone, for programs that ship without libqvr.so.
# shellcheck disable=SC2046
"${CC:-cc}" -std=c99 "$@" -o "$work/consumer-static" "$consumer" $(pkg-config --cflags qvr) "$prefix/lib/libqvr.a" \
  $(pkg-config --static --libs-only-l qvr | sed 's/-lqvr//')
"$work/consumer-static" "$samples/badge-rgba.qvr" "$work/static.qvr"
echo "install_test: the installed tree is complete; the consumer built and ran against it"
