#!/usr/bin/env bash
# The installed desktop files and loader, as a GNOME-style desktop uses them,
# in a private MIME database and loaders cache:
#   - gio reports image/x-qvr for a sample with and without its extension;
#   - pixbuf_test opens every sample and damaged variants through gdk-pixbuf;
#   - the thumbnailer entry's command makes a thumbnail of the right size.
# With SANITIZER_RUNTIMES (libraries to preload), the loader was built with the
# sanitizers: the cache is built with them preloaded, pixbuf_test carries them
# itself, and the thumbnailer, which cannot load such a loader, is left out.
# Usage: desktop_test.sh PREFIX SAMPLES PIXBUF_TEST QUERY_LOADERS WORKDIR [SANITIZER_RUNTIMES]
set -euo pipefail
prefix=$1 samples=$2 pixbuf_test=$3 query_loaders=$4 work=$5 sanitizer_runtimes=${6:-}
fail() { echo "desktop_test: $*" >&2; exit 1; }
source "$(dirname "$0")/../library/workdir.sh"
fresh_workdir "$work"
mkdir -p "$work/data/mime/packages" "$work/home" "$work/damaged"

cp "$prefix/share/mime/packages/qvr.xml" "$work/data/mime/packages/"
update-mime-database "$work/data/mime" >/dev/null 2>&1  # it notes that the folder is not searched yet
export XDG_DATA_HOME="$work/home" XDG_DATA_DIRS="$work/data:/usr/local/share:/usr/share"

loader=$(find "$prefix/lib" -name libpixbufloader-qvr.so)
[ -n "$loader" ] || fail "no libpixbufloader-qvr.so under $prefix/lib"
ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD="$sanitizer_runtimes" "$query_loaders" "$loader" >"$work/loaders.cache"
grep -q '"image/x-qvr"' "$work/loaders.cache" || fail "the loaders cache does not list image/x-qvr"
export GDK_PIXBUF_MODULE_FILE="$work/loaders.cache"

content_type() { gio info -a standard::content-type "$1" | sed -n 's/^ *standard::content-type: //p'; }
for sample in "$samples"/*.qvr; do
  cp "$sample" "$work/no-extension"
  for file in "$sample" "$work/no-extension"; do
    type=$(content_type "$file")
    [ "$type" = image/x-qvr ] || fail "gio gives '$type' for $file"
  done
done
printf 'QV not really' >"$work/no-extension"
[ "$(content_type "$work/no-extension")" != image/x-qvr ] || fail "gio takes a text file for QVR"
echo "desktop_test: gio recognises QVR files by name and by content"

"$pixbuf_test" loader "$samples" "$work/damaged"
"$pixbuf_test" bounded "$samples/tiles-rgb.qvr" "$work/damaged"
"$pixbuf_test" saving "$work/damaged"
[ -z "$sanitizer_runtimes" ] || exit 0

# The thumbnailer command from the installed entry, as a file manager runs it.
exec_line=$(sed -n 's/^Exec=//p' "$prefix/share/thumbnailers/qvr.thumbnailer")
thumbnail() {  # FILE SIZE OUT
  local words=() word
  read -ra words <<<"$exec_line"
  for word in "${words[@]}"; do
    case "$word" in
      %s) echo "$2" ;; %u) echo "file://$1" ;; %o) echo "$3" ;; *) echo "$word" ;;
    esac
  done | xargs -d '\n' sh -c '"$0" "$@"'
}
thumbnail "$samples/tiles-rgb.qvr" 64 "$work/tiles.png"  # 128 x 96
"$pixbuf_test" size "$work/tiles.png" 64 48
cp "$samples/badge-rgba.qvr" "$work/badge"  # 80 x 80, no extension
thumbnail "$work/badge" 32 "$work/badge.png"
"$pixbuf_test" size "$work/badge.png" 32 32
echo "desktop_test: the thumbnailer entry makes thumbnails of the asked size"
