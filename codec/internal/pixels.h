// Table-driven forms of the 5-6-5 widening and of the packed pixel bytes, for
// the line coders' inner loops. Internal to the codec.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "codec/format.h"

namespace qvr {

// Widening splits along the pixel's bytes: red and the top of green come from
// the high byte, the rest of green and blue from the low byte, and the two
// halves of green do not overlap. Each table entry holds its byte's share of
// red, green and blue, packed as they lie in memory.
struct WideningTables {
    std::array<uint32_t, 256> high{};
    std::array<uint32_t, 256> low{};
};

constexpr WideningTables makeWideningTables() {
    WideningTables t;
    for (uint32_t v = 0; v < 256; ++v) {
        const uint32_t r5 = v >> 3, gTop = v & 7;      // high byte: RRRRRGGG
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
inline constexpr WideningTables WIDENING = makeWideningTables();

// One pixel's red, green and blue in the low three bytes.
inline uint32_t widened(uint32_t pixel) { return WIDENING.high[pixel >> 8] | WIDENING.low[pixel & 0xFF]; }

inline void storeWidened(uint8_t* out, uint32_t rgb) {
    out[0] = static_cast<uint8_t>(rgb);
    out[1] = static_cast<uint8_t>(rgb >> 8);
    out[2] = static_cast<uint8_t>(rgb >> 16);
}

// Four pixels into exactly twelve bytes, as one eight-byte and one four-byte store.
inline void widenFour(uint8_t* out, const uint16_t* pixels) {
    const uint64_t p0 = widened(pixels[0]), p1 = widened(pixels[1]);
    const uint64_t p2 = widened(pixels[2]), p3 = widened(pixels[3]);
    const uint64_t first = p0 | p1 << 24 | p2 << 48;
    const uint32_t second = static_cast<uint32_t>(p2 >> 16 | p3 << 8);
    std::memcpy(out, &first, sizeof first);
    std::memcpy(out + 8, &second, sizeof second);
}

// A packed pixel splits into the shared byte's bits and the pixel byte's bits;
// this table holds the pixel byte's share.
constexpr std::array<uint16_t, 256> makePackedLowBits() {
    std::array<uint16_t, 256> t{};
    for (int32_t b = 0; b < 256; ++b) t[static_cast<size_t>(b)] = packedPixel(0, b);
    return t;
}
inline constexpr std::array<uint16_t, 256> PACKED_LOW_BITS = makePackedLowBits();

// The pixel byte of a packed pixel, from the pixel's two bytes.
struct PackedByteTables {
    std::array<uint8_t, 256> high{};
    std::array<uint8_t, 256> low{};
};
constexpr PackedByteTables makePackedByteTables() {
    PackedByteTables t;
    for (uint32_t v = 0; v < 256; ++v) {
        t.high[v] = packedPixelByte(static_cast<uint16_t>(v << 8));
        t.low[v] = packedPixelByte(static_cast<uint16_t>(v));
    }
    return t;
}
inline constexpr PackedByteTables PACKED_BYTE = makePackedByteTables();
inline uint8_t packedByteOf(uint16_t pixel) {
    return PACKED_BYTE.high[pixel >> 8] | PACKED_BYTE.low[pixel & 0xFF];
}

}  // namespace qvr
