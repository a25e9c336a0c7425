#include "tools/common/image_convert.h"

#include <algorithm>
#include <unordered_map>

#include "codec/format.h"

namespace qvr {
namespace {

constexpr uint32_t WHITE = 0xFFFFFF;
constexpr int32_t LAST_INDEX = 255;

uint32_t colourAt(const std::vector<uint8_t>& rgb, size_t p) {
    return static_cast<uint32_t>(rgb[3 * p]) << 16 | static_cast<uint32_t>(rgb[3 * p + 1]) << 8 |
           rgb[3 * p + 2];
}

}  // namespace

RasterImage expandToRgb(const RasterImage& indexed, int32_t depth) {
    RasterImage out;
    out.allocate(indexed.width, indexed.height, depth);
    for (size_t p = 0; p < indexed.indices.size(); ++p)
        for (size_t c = 0; c < 3; ++c)
            out.rgb[3 * p + c] = indexed.palette[3 * static_cast<size_t>(indexed.indices[p]) + c];
    std::fill(out.alpha.begin(), out.alpha.end(), uint8_t{255});
    return out;
}

std::string buildPalette(const RasterImage& rgb, RasterImage& indexed, bool* lossy) {
    // Indices in the order colours take them: the 254 that read back exactly,
    // then 255 and 246, which both read back as white.
    std::vector<int32_t> order;
    for (int32_t i = 0; i < 255; ++i)
        if (i != WHITE_PALETTE_ENTRY) order.push_back(i);
    order.push_back(LAST_INDEX);
    order.push_back(WHITE_PALETTE_ENTRY);

    const size_t count = static_cast<size_t>(rgb.width) * static_cast<size_t>(rgb.height);
    std::unordered_map<uint32_t, int32_t> indexOf;
    size_t next = 0;
    bool whiteSeen = false;
    for (size_t p = 0; p < count; ++p) whiteSeen = whiteSeen || colourAt(rgb.rgb, p) == WHITE;
    if (whiteSeen) {
        indexOf[WHITE] = WHITE_PALETTE_ENTRY;
        order.pop_back();
    }
    for (size_t p = 0; p < count; ++p) {
        const uint32_t colour = colourAt(rgb.rgb, p);
        if (indexOf.count(colour)) continue;
        if (next == order.size())
            return "the image has more than 256 colours, so it cannot be stored at depth 8";
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
    if (lossy) *lossy = next > 254;
    return "";
}

RasterImage withDepth(const RasterImage& rgb, int32_t depth) {
    RasterImage out;
    out.allocate(rgb.width, rgb.height, depth);
    out.rgb = rgb.rgb;
    if (depth == 32) {
        if (rgb.depth == 32) out.alpha = rgb.alpha;
        else std::fill(out.alpha.begin(), out.alpha.end(), uint8_t{255});
    }
    return out;
}

std::string imageAtDepth(const RasterImage& source, int32_t depth, RasterImage& out, bool* lossy) {
    if (lossy) *lossy = false;
    if (depth == 0 || depth == source.depth) {
        out = source;
        return "";
    }
    if (source.depth == 8) {
        out = expandToRgb(source, depth);
        return "";
    }
    if (depth != 8) {
        out = withDepth(source, depth);
        return "";
    }
    return buildPalette(source, out, lossy);
}

}  // namespace qvr
