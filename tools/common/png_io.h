// PNG files to and from RasterImage, through libspng.
#pragma once

#include <string>

#include "streams/stream_binding.h"

namespace qvr {

// What a PNG held before it became a RasterImage.
enum class PngKind {
    Palette,           // indices and palette, every entry opaque
    PaletteWithAlpha,  // a palette with transparent entries: read as RGB + alpha
    Rgb,
    Rgba,
};

struct PngImage {
    PngKind kind = PngKind::Rgb;
    int32_t paletteEntries = 0;  // entries in the file's palette (padded to 256 with black)
    RasterImage image;           // depth 8 for Palette, 24 for RGB and grey, 32 with alpha
    std::string note;            // what QVR will not keep of the file's colour space, or ""
};

// Called as rows are decoded: `done` of `total` steps.
using PngProgress = void (*)(void* context, int32_t done, int32_t total);

// Returns "" on success, else the reason. A PNG whose header gives a size a
// QVR file cannot hold (2..8191 columns, 1..8191 rows) is refused from the
// header alone, before any pixel memory is spent.
std::string readPng(const std::string& path, PngImage& out, PngProgress progress = nullptr,
                    void* progressContext = nullptr);

// Depth 8 writes a 256-entry palette PNG, 24 an RGB PNG, 32 an RGBA PNG,
// through SafeOutput. Returns "" or the reason.
std::string writePng(const std::string& path, const RasterImage& image);

}  // namespace qvr
