#!/usr/bin/env bash
# Fetches the benchmark corpus: real images from Debian's packages, which it
# downloads and unpacks without installing them, into a cache outside the tree.
# Prints the corpus folder. Needs dwebp (webp) and ImageMagick's convert.
set -euo pipefail
cache=${QVR_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qvr-bench}
corpus="$cache/corpus"
if [ -f "$corpus/.complete" ]; then echo "$corpus"; exit 0; fi
mkdir -p "$cache/debs" "$cache/unpacked" "$corpus"
cd "$cache/debs"
for package in python3-skimage gnome-backgrounds; do
  ls ${package}_*.deb >/dev/null 2>&1 || apt-get download "$package" >&2
  dpkg -x ${package}_*.deb "$cache/unpacked"
done

skimage="$cache/unpacked/usr/lib/python3/dist-packages/skimage/data"
for name in astronaut coffee chelsea camera logo horse green_palette; do
  cp "$skimage/$name.png" "$corpus/$name.png"
done
backgrounds="$cache/unpacked/usr/share/backgrounds/gnome"
for name in wood-l pixels-d adwaita-l; do
  dwebp -quiet "$backgrounds/$name.webp" -o "$corpus/$name.png"
done
# Each RGB image again as an 8 bpp image of 256 colours.
for name in astronaut coffee chelsea camera wood-l pixels-d adwaita-l; do
  convert "$corpus/$name.png" -alpha off -colors 256 -type Palette PNG8:"$corpus/$name-256.png"
done
touch "$corpus/.complete"
echo "$corpus"
