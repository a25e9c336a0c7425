// PNG files built in memory for the tools' tests, through libspng's encoder
// (and zlib for a header that claims more than its data holds).
#pragma once

#include <spng.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qvr::test {

// An encoded PNG of `pixels` laid out as `ihdr` says; empty if libspng refuses.
// `gamma`: a gAMA chunk's value in 100000ths (0: none); `srgb`: an sRGB chunk too.
std::vector<uint8_t> encodePng(const spng_ihdr& ihdr, const std::vector<uint8_t>& pixels,
                               const spng_plte* plte = nullptr, const spng_trns* trns = nullptr, uint32_t gamma = 0,
                               bool srgb = false);
// An 8-bit RGB image with varied colours.
std::vector<uint8_t> rgbPng(uint32_t width, uint32_t height);
// A valid header claiming width x height, then a few bytes of image data.
std::vector<uint8_t> headerOnlyPng(uint32_t width, uint32_t height);
// A palette image: one index per pixel, the palette's colours, and the alpha
// of its first entries (none: no transparency chunk).
std::vector<uint8_t> palettePng(uint32_t width, uint32_t height, const std::vector<uint8_t>& indices,
                                const std::vector<std::array<uint8_t, 3>>& colours, const std::vector<uint8_t>& alphas);
// An 8 x 4 palette image of 4 entries, pixel x using entry x % 4; entry 1 has
// alpha 0, entry 2 alpha 128, the others are opaque.
std::vector<uint8_t> transparentPalettePng();

// A 16 x 16 palette image whose pixels use the first `colours` entries, each
// a colour of its own; entry 246, when used, is dark red (128, 0, 0).
std::vector<uint8_t> fullPalettePng(size_t colours = 256);

bool writeBytes(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace qvr::test
