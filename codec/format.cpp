#include "codec/format.h"

#include "codec/internal/pixels.h"

namespace qvr {
void rgbFrom565(uint8_t* rgb, const uint16_t* pixels, int32_t count) {
    int32_t k = 0;
    for (; k + 4 <= count; k += 4) widenFour(rgb + 3 * k, pixels + k);
    for (; k < count; ++k) storeWidened(rgb + 3 * k, widened(pixels[k]));
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
