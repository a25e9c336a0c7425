#include "tools/common/image_convert.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>

#include "codec/format.h"
#include "library/rules.h"

namespace qvr {
namespace {

constexpr uint32_t WHITE = 0xFFFFFF;
constexpr uint8_t OPAQUE = 255;

const std::string TOO_MANY_COLOURS = std::string(TOO_MANY_COLOURS_TEXT) + "; store it as 16 bpp RGB instead";
const char* const WIDENED_TO_RGB =
    "the palette image has more than 254 colours besides white, more than an 8 bpp file keeps; "
    "stored as 16 bpp RGB (--depth 8 refuses instead)";
const char* const TRANSPARENT_AT_DEPTH_8 =
    "the image has transparent pixels and an 8 bpp file has no alpha plane (use --depth 32)";
const char* const TRANSPARENT_PALETTE_AT_DEPTH_8 =
    "the PNG's palette has transparent entries and an 8 bpp file has no alpha plane (use --depth 32)";

uint32_t colourAt(const std::vector<uint8_t>& rgb, size_t p) {
    return static_cast<uint32_t>(rgb[3 * p]) << 16 | static_cast<uint32_t>(rgb[3 * p + 1]) << 8 | rgb[3 * p + 2];
}

bool hasTransparency(const RasterImage& image) {
    return image.depth == 32 && anyTranslucent(image.alpha.data(), image.alpha.size(), 1);
}

}  // namespace

RasterImage expandToRgb(const RasterImage& indexed, int32_t depth) {
    RasterImage out;
    out.allocate(indexed.width, indexed.height, depth);
    for (size_t p = 0; p < indexed.indices.size(); ++p)
        for (size_t c = 0; c < 3; ++c)
            out.rgb[3 * p + c] = indexed.palette[3 * static_cast<size_t>(indexed.indices[p]) + c];
    std::fill(out.alpha.begin(), out.alpha.end(), OPAQUE);
    return out;
}

std::string buildPalette(const RasterImage& rgb, RasterImage& indexed) {
    std::vector<int32_t> order;  // the indices that read back as they are, white's aside
    for (int32_t i = 0; i < 256; ++i)
        if (keptSample(static_cast<uint8_t>(i)) == i && i != WHITE_PALETTE_ENTRY) order.push_back(i);

    const size_t count = static_cast<size_t>(rgb.width) * static_cast<size_t>(rgb.height);
    std::unordered_map<uint32_t, int32_t> indexOf;
    size_t next = 0;
    for (size_t p = 0; p < count; ++p) {
        const uint32_t colour = colourAt(rgb.rgb, p);
        if (indexOf.count(colour)) continue;
        if (colour == WHITE) {
            indexOf[colour] = WHITE_PALETTE_ENTRY;
            continue;
        }
        if (next == order.size()) return TOO_MANY_COLOURS;
        indexOf[colour] = order[next++];
    }
    indexed.allocate(rgb.width, rgb.height, 8);
    for (const auto& [colour, index] : indexOf) {
        const size_t at = 3 * static_cast<size_t>(index);
        indexed.palette[at] = static_cast<uint8_t>(colour >> 16);
        indexed.palette[at + 1] = static_cast<uint8_t>(colour >> 8);
        indexed.palette[at + 2] = static_cast<uint8_t>(colour);
    }
    for (size_t p = 0; p < count; ++p) indexed.indices[p] = static_cast<uint8_t>(indexOf[colourAt(rgb.rgb, p)]);
    return "";
}

RasterImage withDepth(const RasterImage& rgb, int32_t depth) {
    RasterImage out;
    out.allocate(rgb.width, rgb.height, depth);
    out.rgb = rgb.rgb;
    if (depth == 32) {
        if (rgb.depth == 32)
            out.alpha = rgb.alpha;
        else
            std::fill(out.alpha.begin(), out.alpha.end(), OPAQUE);
    }
    return out;
}

std::string imageAtDepth(RasterImage source, int32_t depth, RasterImage& out, std::string* note) {
    const bool chosen = depth != 0;
    if (!chosen) depth = source.depth == 32 && !hasTransparency(source) ? 24 : source.depth;
    if (source.depth == 8 && depth == 8) {
        const size_t count = source.indices.size();
        if (indicesKeepTheirColours(source.indices.data(), count, source.palette.data())) {
            out = std::move(source);
            return "";
        }
        out.allocate(source.width, source.height, 8);
        if (renumberColours(source.indices.data(), count, source.palette.data(), out.indices.data(),
                            out.palette.data()))
            return "";
        if (chosen) return TOO_MANY_COLOURS;
        if (note != nullptr) *note = WIDENED_TO_RGB;
        depth = 24;
    }
    if (source.depth == 8) {
        out = expandToRgb(source, depth);
        return "";
    }
    if (source.depth == 32 && depth == 24) {  // the colour moves; only alpha goes
        source.depth = 24;
        source.alpha = {};
        out = std::move(source);
        return "";
    }
    if (depth != 8) {
        out = depth == source.depth ? std::move(source) : withDepth(source, depth);
        return "";
    }
    if (hasTransparency(source)) return TRANSPARENT_AT_DEPTH_8;
    return buildPalette(source, out);
}

std::string pngAtDepth(PngImage png, int32_t depth, RasterImage& out, std::string* note) {
    if (png.kind == PngKind::PaletteWithAlpha && depth == 8) return TRANSPARENT_PALETTE_AT_DEPTH_8;
    return imageAtDepth(std::move(png.image), depth, out, note);
}

}  // namespace qvr
