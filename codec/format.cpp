#include "codec/format.h"

#include "codec/internal/pixels.h"

namespace qvr {
void rgbFrom565(uint8_t* rgb, const uint16_t* pixels, int32_t count) {
    int32_t k = 0;
    for (; k + 4 <= count; k += 4) widenFour(rgb + 3 * k, pixels + k);
    for (; k < count; ++k) storeWidened(rgb + 3 * k, widened(pixels[k]));
}

namespace {
// A pixel from red, green and blue in the low three bytes of `rgb`.
inline uint16_t pixelFrom(uint32_t rgb) {
    return static_cast<uint16_t>(((rgb & 0xF8) << 8) | ((rgb & 0xFC00) >> 5) | ((rgb >> 19) & 0x1F));
}
}  // namespace

void rgbTo565(uint16_t* pixels, const uint8_t* rgb, int32_t count) {
    for (int32_t k = 0; k + 1 < count; ++k) {  // four bytes at once, the fourth ignored
        uint32_t word;
        std::memcpy(&word, rgb + 3 * k, sizeof word);
        pixels[k] = pixelFrom(word);
    }
    if (count > 0) {
        const uint8_t* last = rgb + 3 * (count - 1);
        pixels[count - 1] = pixelFrom(last[0] | last[1] << 8 | static_cast<uint32_t>(last[2]) << 16);
    }
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
