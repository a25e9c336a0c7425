// PNG files to and from RasterImage, through libspng.
#pragma once

#include <string>

#include "streams/stream_binding.h"

namespace qvr {

// What a PNG held before it became a RasterImage.
enum class PngKind { Palette, Rgb, Rgba };

struct PngImage {
    PngKind kind = PngKind::Rgb;
    int32_t paletteEntries = 0;  // entries in the file's palette (padded to 256 with black)
    RasterImage image;           // depth 8 for palette files, 24 for RGB and grey, 32 with alpha
};

// Returns "" on success, else a message.
std::string readPng(const std::string& path, PngImage& out);

// Depth 8 writes a 256-entry palette PNG, 24 an RGB PNG, 32 an RGBA PNG.
std::string writePng(const std::string& path, const RasterImage& image);

}  // namespace qvr
