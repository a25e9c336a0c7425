#!/usr/bin/env bash
# Times opening and saving 4096 x 4096 photographs through each Windows module
# under Wine, beside the codec on the same file in memory in the same process
# (qvrhost time). The images come from the benchmark cache of
# bench/fetch-corpus.sh: the wood-l wallpaper of Debian's gnome-backgrounds (a
# photograph of wood), and a mosaic of 64 photographs of python3-skimage's data
# folder (six of them, over and over), each scaled to 512 x 512, which costs as many bytes per pixel as a
# photograph does.
# Also times, once, an x86-64 build with the 32-bit module's binding (one system
# call per byte), which shows that binding's cost where 32-bit programs cannot run.
# Usage: scripts/time-windows-modules.sh [RUNS]   (default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
scripts/build-windows.sh >/dev/null
scripts/build.sh >/dev/null
cmake -S . -B build-win64-direct -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DQVR_BUFFERED_FILE=OFF -DQVR_BUILD_TESTS=OFF >/dev/null 2>&1
cmake --build build-win64-direct -j "$(nproc)" --target qvr_module qvrhost >/dev/null

corpus=$(bench/fetch-corpus.sh)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unpacked="${corpus%/corpus}/unpacked"
dwebp -quiet "$unpacked/usr/share/backgrounds/gnome/wood-l.webp" -o "$work/wood.png"
photos=()
for i in $(seq 64); do
  names=(astronaut coffee chelsea motorcycle_left motorcycle_right ihc)
  photos+=("$unpacked/usr/lib/python3/dist-packages/skimage/data/${names[i % 6]}.png")
done
montage "${photos[@]}" -tile 8x8 -geometry '512x512!+0+0' -alpha off "$work/mosaic.png"
for name in wood mosaic; do
  build/qvr encode "$work/$name.png" "$work/$name.qvr" >/dev/null
  echo "$name: $(stat -c %s "$work/$name.qvr") bytes; $(build/qvr info "$work/$name.qvr" | head -n 1 | cut -d: -f2-)"
done

time_build() {  # LABEL BUILD_DIR LOADER ARCH PREFIX_DIR RUNS
  local label=$1 dir=$2 loader=$3 line name
  if ! "$loader" --version >/dev/null 2>&1; then
    echo "$label: not run, this machine cannot run $4 Windows programs"
    return
  fi
  export WINEPREFIX="$PWD/$5/wineprefix" WINEDEBUG=-all
  for name in wood mosaic; do
    for ((i = 0; i < $6; i++)); do
      line=$(cd "$dir" && "$loader" qvrhost.exe time "Z:$work/$name.qvr" "Z:$work/saved.qvr" | tr -s ' \n' ' ')
      echo "$label, $name, run $((i + 1)): $line"
    done
  done
}
time_build "64-bit module (block)" build-win64 /usr/lib/wine/wine64 x86-64 build-win64 "$runs"
time_build "x86-64 build, one call per byte" build-win64-direct /usr/lib/wine/wine64 x86-64 build-win64 1
time_build "32-bit module" build-win /usr/lib/wine/wine 32-bit build-win "$runs"
