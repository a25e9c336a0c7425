// Conversions between the image kinds the converter meets. None of them
// changes a colour silently: what a file cannot hold is refused with the reason.
#pragma once

#include <string>

#include "streams/stream_binding.h"
#include "tools/common/png_io.h"

namespace qvr {

// Expands an indexed image through its palette to depth 24, or 32 with opaque alpha.
RasterImage expandToRgb(const RasterImage& indexed, int32_t depth);

// Gives an RGB image a palette of its colours: white takes entry 246, the
// others the 254 indices that read back as they are. Fails with a message
// when the image has more colours than that.
std::string buildPalette(const RasterImage& rgb, RasterImage& indexed);

// Drops or adds the alpha plane: depth 24 from 32, or 32 (opaque) from 24.
RasterImage withDepth(const RasterImage& rgb, int32_t depth);

// Brings an image to `depth`: widens indexed images, adds or drops alpha, or
// builds a palette. An indexed image whose pixels would not read back in
// their colours (index 255, or a coloured entry 246) is renumbered by the
// library's rule. Depth 0 chooses: the image's own kind, except that alpha
// goes only where some pixel is not opaque, and an indexed image an 8 bpp
// file cannot hold becomes RGB, with `*note` saying so. An explicit depth 8
// refuses such an image, and one with transparent pixels, since 8 bpp files
// have no alpha.
std::string imageAtDepth(RasterImage source, int32_t depth, RasterImage& out, std::string* note = nullptr);

// imageAtDepth for a PNG: a palette with transparent entries is refused at
// depth 8 even where no pixel uses those entries. Pass the PNG with std::move
// when it is no longer needed: its pixels then move instead of being copied.
std::string pngAtDepth(PngImage png, int32_t depth, RasterImage& out, std::string* note = nullptr);

}  // namespace qvr
