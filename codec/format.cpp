#include "codec/format.h"

namespace qvr {

void rgbFrom565(uint8_t* rgb, const uint16_t* pixels, int32_t count) {
    for (int32_t k = 0; k < count; ++k) {
        uint32_t p = pixels[k];
        uint32_t r5 = p >> 11, g6 = (p >> 5) & 63, b5 = p & 31;
        rgb[3 * k + 0] = static_cast<uint8_t>((r5 << 3) | (r5 >> 2));
        rgb[3 * k + 1] = static_cast<uint8_t>((g6 << 2) | (g6 >> 4));
        rgb[3 * k + 2] = static_cast<uint8_t>((b5 << 3) | (b5 >> 2));
    }
}

void rgbTo565(uint16_t* pixels, const uint8_t* rgb, int32_t count) {
    for (int32_t k = 0; k < count; ++k) {
        uint32_t r = rgb[3 * k], g = rgb[3 * k + 1], b = rgb[3 * k + 2];
        pixels[k] = static_cast<uint16_t>(((r & 0xF8) << 8) | ((g & 0xFC) << 3) | (b >> 3));
    }
}

}  // namespace qvr
