#include "tools/common/image_convert.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>

#include "codec/format.h"

namespace qvr {
namespace {

constexpr uint32_t WHITE = 0xFFFFFF;
constexpr uint8_t OPAQUE = 255;
constexpr int32_t LAST_INDEX = 255;

const char* const TOO_MANY_COLOURS =
    "the image has more than 254 colours besides white, and an 8 bpp file keeps at most 254 "
    "colours besides white (index 255 reads back as 246, and entry 246 always reads back white); "
    "store it as 16 bpp RGB instead";
const char* const TRANSPARENT_AT_DEPTH_8 =
    "the image has transparent pixels and an 8 bpp file has no alpha plane (use --depth 32)";
const char* const TRANSPARENT_PALETTE_AT_DEPTH_8 =
    "the PNG's palette has transparent entries and an 8 bpp file has no alpha plane (use --depth 32)";

uint32_t colourAt(const std::vector<uint8_t>& rgb, size_t p) {
    return static_cast<uint32_t>(rgb[3 * p]) << 16 | static_cast<uint32_t>(rgb[3 * p + 1]) << 8 |
           rgb[3 * p + 2];
}

// True when every pixel of an indexed image reads back from a file in its
// own colour, by the file's rules for indices and palette entries.
bool readsBackInItsColours(const RasterImage& indexed) {
    std::array<uint8_t, 768> kept = indexed.palette;
    forcePaletteWhite(kept.data());
    bool used[256] = {};
    for (uint8_t index : indexed.indices) used[index] = true;
    for (int32_t i = 0; i < 256; ++i) {
        const size_t at = 3 * static_cast<size_t>(i);
        const size_t readBack = 3 * static_cast<size_t>(keptSample(static_cast<uint8_t>(i)));
        if (used[i] && std::memcmp(&indexed.palette[at], &kept[readBack], 3) != 0) return false;
    }
    return true;
}

bool hasTransparency(const RasterImage& image) {
    return image.depth == 32 && std::any_of(image.alpha.begin(), image.alpha.end(),
                                            [](uint8_t a) { return a != OPAQUE; });
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
    for (int32_t i = 0; i < LAST_INDEX; ++i)
        if (i != WHITE_PALETTE_ENTRY) order.push_back(i);

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
    for (size_t p = 0; p < count; ++p)
        indexed.indices[p] = static_cast<uint8_t>(indexOf[colourAt(rgb.rgb, p)]);
    return "";
}

RasterImage withDepth(const RasterImage& rgb, int32_t depth) {
    RasterImage out;
    out.allocate(rgb.width, rgb.height, depth);
    out.rgb = rgb.rgb;
    if (depth == 32) {
        if (rgb.depth == 32) out.alpha = rgb.alpha;
        else std::fill(out.alpha.begin(), out.alpha.end(), OPAQUE);
    }
    return out;
}

std::string imageAtDepth(RasterImage source, int32_t depth, RasterImage& out) {
    if (depth == 0) depth = source.depth;
    if (source.depth == 8 && depth == 8) {
        if (readsBackInItsColours(source)) {
            out = std::move(source);
            return "";
        }
        return buildPalette(expandToRgb(source, 24), out);
    }
    if (source.depth == 8) {
        out = expandToRgb(source, depth);
        return "";
    }
    if (depth != 8) {
        out = depth == source.depth ? std::move(source) : withDepth(source, depth);
        return "";
    }
    if (hasTransparency(source)) return TRANSPARENT_AT_DEPTH_8;
    return buildPalette(source, out);
}

std::string pngAtDepth(PngImage png, int32_t depth, RasterImage& out) {
    if (png.kind == PngKind::PaletteWithAlpha && depth == 8) return TRANSPARENT_PALETTE_AT_DEPTH_8;
    return imageAtDepth(std::move(png.image), depth, out);
}

}  // namespace qvr
