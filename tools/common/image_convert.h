// Conversions between the image kinds the converter meets.
#pragma once

#include <string>

#include "streams/stream_binding.h"

namespace qvr {

// Expands an indexed image through its palette to depth 24, or 32 with opaque alpha.
RasterImage expandToRgb(const RasterImage& indexed, int32_t depth);

// Gives an RGB image a palette of its colours; fails with a message when it
// has more than 256. A file gives index 255 back as 246 and entry 246 back as
// white, so colours take the other 254 indices first and white takes 246;
// `lossy` tells whether some colour had to take 255 or 246 all the same.
std::string buildPalette(const RasterImage& rgb, RasterImage& indexed, bool* lossy);

// Drops or adds the alpha plane: depth 24 from 32, or 32 (opaque) from 24.
RasterImage withDepth(const RasterImage& rgb, int32_t depth);

// Brings an image to `depth` (0 keeps its own): widens indexed images, adds
// or drops alpha, or builds a palette (see buildPalette).
std::string imageAtDepth(const RasterImage& source, int32_t depth, RasterImage& out, bool* lossy);

}  // namespace qvr
