#!/usr/bin/env bash
# Fetches the benchmark corpus: real images from Debian's packages, which it
# downloads and unpacks without installing them, into a cache outside the tree.
# Prints the corpus folder. Needs dwebp (webp) and ImageMagick's convert.
set -euo pipefail
cache=${QVR_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qvr-bench}
corpus="$cache/corpus"
version=3  # raise when the list below changes, so that cached corpora are rebuilt
if [ "$(cat "$corpus/.complete" 2>/dev/null)" = "$version" ]; then echo "$corpus"; exit 0; fi
rm -rf "$corpus"
mkdir -p "$cache/debs" "$cache/unpacked" "$corpus"
cd "$cache/debs"
for package in python3-skimage gnome-backgrounds tuxpaint-stamps-default; do
  ls ${package}_*.deb >/dev/null 2>&1 || apt-get download "$package" >&2
done
for package in python3-skimage gnome-backgrounds; do dpkg -x ${package}_*.deb "$cache/unpacked"; done
# Of the stamps' package (a 160 MB download), only the photographs used below.
stamps=usr/share/tuxpaint/stamps
dpkg-deb --fsys-tarfile tuxpaint-stamps-default_*.deb |
  tar -x -C "$cache/unpacked" ./$stamps/naturalforces/explosion.png ./$stamps/naturalforces/fire.png \
    ./$stamps/plants/trees/holm_oak.png

skimage="$cache/unpacked/usr/lib/python3/dist-packages/skimage/data"
for name in astronaut coffee chelsea camera logo horse green_palette ihc motorcycle_left; do
  cp "$skimage/$name.png" "$corpus/$name.png"
done
# The colour photographs that come as JPEG, decoded once to 8-bit RGB.
for name in rocket retina hubble_deep_field; do
  convert "$skimage/$name.jpg" -strip -type TrueColor PNG24:"$corpus/$name.png"
done
# Photographs with an alpha plane: a soft vignette (a cut-out's smooth edge)
# and the photograph's own grey levels (alpha as busy as the colour).
convert "$corpus/coffee.png" \( -size 400x600 radial-gradient:white-black -rotate 90 \) \
  -alpha off -compose CopyOpacity -composite -type TrueColorAlpha PNG32:"$corpus/coffee-vignette.png"
convert "$corpus/rocket.png" \( +clone -colorspace Gray \) -alpha off -compose CopyOpacity \
  -composite -type TrueColorAlpha PNG32:"$corpus/rocket-luma.png"
# Photographs cut out with their own alpha, as busy as the colour: smoke, a
# flame, the leaves of a tree.
for name in naturalforces/explosion naturalforces/fire plants/trees/holm_oak; do
  convert "$cache/unpacked/$stamps/$name.png" -strip -type TrueColorAlpha PNG32:"$corpus/$(basename "$name").png"
done
backgrounds="$cache/unpacked/usr/share/backgrounds/gnome"
for name in wood-l pixels-d adwaita-l; do
  dwebp -quiet "$backgrounds/$name.webp" -o "$corpus/$name.png"
done
# Each RGB image again as an 8 bpp image of 256 colours.
for name in astronaut coffee chelsea camera wood-l pixels-d adwaita-l ihc motorcycle_left rocket; do
  convert "$corpus/$name.png" -alpha off -colors 256 -type Palette PNG8:"$corpus/$name-256.png"
done
echo "$version" >"$corpus/.complete"
echo "$corpus"
