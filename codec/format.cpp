#include "codec/format.h"

#include "codec/internal/pixels.h"

namespace qvr {
void rgbFrom565(uint8_t* rgb, const uint16_t* pixels, int32_t count) {
    int32_t k = 0;
    for (; k + 4 <= count; k += 4) widenFour(rgb + 3 * k, pixels + k);
    for (; k < count; ++k) storeWidened(rgb + 3 * k, widened(pixels[k]));
}

void rgbTo565(uint16_t* pixels, const uint8_t* rgb, int32_t count) {
    int32_t k = 0;
    for (; k + 4 <= count; k += 4) {  // twelve bytes into four pixels
        uint64_t first;
        uint32_t second;
        std::memcpy(&first, rgb + 3 * k, sizeof first);
        std::memcpy(&second, rgb + 3 * k + 8, sizeof second);
        const uint64_t four = narrowed(static_cast<uint32_t>(first)) |
                              uint64_t{narrowed(static_cast<uint32_t>(first >> 24))} << 16 |
                              uint64_t{narrowed(static_cast<uint32_t>(first >> 48 | uint64_t{second} << 16))} << 32 |
                              uint64_t{narrowed(second >> 8)} << 48;
        std::memcpy(pixels + k, &four, sizeof four);
    }
    for (; k < count; ++k) {
        const uint8_t* p = rgb + 3 * k;
        pixels[k] = narrowed(p[0] | p[1] << 8 | static_cast<uint32_t>(p[2]) << 16);
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
