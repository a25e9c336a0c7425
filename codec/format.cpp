#include "codec/format.h"

#include <array>
#include <cstring>

namespace qvr {
namespace {

// Widening splits along the pixel's bytes: red and the top of green come from
// the high byte, the rest of green and blue from the low byte, and the two
// halves of green do not overlap. Each table entry holds its bytes' share of
// red, green and blue, packed as they lie in memory.
struct WideningTables {
    std::array<uint32_t, 256> high{};
    std::array<uint32_t, 256> low{};
};

constexpr WideningTables makeWideningTables() {
    WideningTables t;
    for (uint32_t v = 0; v < 256; ++v) {
        const uint32_t r5 = v >> 3, gTop = v & 7;  // high byte: RRRRRGGG
        const uint32_t gBottom = v >> 5, b5 = v & 31;  // low byte: GGGBBBBB
        const uint32_t red = (r5 << 3) | (r5 >> 2);
        const uint32_t greenHigh = (gTop << 5) | (gTop >> 1);  // G6 << 2 and G6 >> 4, top bits
        const uint32_t greenLow = gBottom << 2;
        const uint32_t blue = (b5 << 3) | (b5 >> 2);
        t.high[v] = red | greenHigh << 8;
        t.low[v] = greenLow << 8 | blue << 16;
    }
    return t;
}

constexpr WideningTables WIDENING = makeWideningTables();

}  // namespace

void rgbFrom565(uint8_t* rgb, const uint16_t* pixels, int32_t count) {
    for (int32_t k = 0; k < count; ++k) {
        const uint32_t p = pixels[k];
        const uint32_t packed = WIDENING.high[p >> 8] | WIDENING.low[p & 0xFF];
        if (k + 1 < count) {  // four bytes at once; the next pixel overwrites the fourth
            std::memcpy(rgb + 3 * k, &packed, sizeof packed);
            continue;
        }
        rgb[3 * k] = static_cast<uint8_t>(packed);
        rgb[3 * k + 1] = static_cast<uint8_t>(packed >> 8);
        rgb[3 * k + 2] = static_cast<uint8_t>(packed >> 16);
    }
}

namespace {
inline uint16_t pixelFrom(uint32_t r, uint32_t g, uint32_t b) {
    return static_cast<uint16_t>(((r & 0xF8) << 8) | ((g & 0xFC) << 3) | (b >> 3));
}
}  // namespace

void rgbTo565(uint16_t* pixels, const uint8_t* rgb, int32_t count) {
    for (int32_t k = 0; k < count; ++k)
        pixels[k] = pixelFrom(rgb[3 * k], rgb[3 * k + 1], rgb[3 * k + 2]);
}

void forcePaletteWhite(uint8_t* palette) { std::memset(palette + 3 * WHITE_PALETTE_ENTRY, 255, 3); }

void paletteFromTables(uint8_t* palette, const uint8_t* red, const uint8_t* green, const uint8_t* blue) {
    for (int32_t i = 0; i < 256; ++i) {
        palette[3 * i] = red[i];
        palette[3 * i + 1] = green[i];
        palette[3 * i + 2] = blue[i];
    }
}

void paletteToTables(const uint8_t* palette, uint8_t* red, uint8_t* green, uint8_t* blue) {
    for (int32_t i = 0; i < 256; ++i) {
        red[i] = palette[3 * i];
        green[i] = palette[3 * i + 1];
        blue[i] = palette[3 * i + 2];
    }
}

}  // namespace qvr
