// Table-driven forms of the 5-6-5 widening and of the packed pixel bytes, for
// the line coders' inner loops. Internal to the codec.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "codec/format.h"

namespace qvr {

// A function of a 16-bit pixel whose high and low bytes contribute disjoint
// bits, as two tables of 256 entries whose lookups are ORed.
template <typename T>
struct ByteSplitTables {
    std::array<T, 256> high{};
    std::array<T, 256> low{};

    constexpr T of(uint32_t pixel) const { return high[pixel >> 8] | low[pixel & 0xFF]; }
};

template <typename T, typename F>
constexpr ByteSplitTables<T> makeByteSplitTables(F f) {
    ByteSplitTables<T> t;
    for (uint32_t v = 0; v < 256; ++v) {
        t.high[v] = f(v << 8);
        t.low[v] = f(v);
    }
    return t;
}

// True when the tables give f for every pixel (the tests check both tables).
template <typename T, typename F>
constexpr bool splitsExactly(const ByteSplitTables<T>& t, F f) {
    for (uint32_t pixel = 0; pixel < 65536; ++pixel)
        if (t.of(pixel) != f(pixel)) return false;
    return true;
}

// widenedRgb() (codec/format.h) as tables: red and the top of green come from
// the high byte, the rest of green and blue from the low byte.
inline constexpr ByteSplitTables<uint32_t> WIDENING = makeByteSplitTables<uint32_t>(widenedRgb);

// One pixel's red, green and blue in the low three bytes.
inline uint32_t widened(uint32_t pixel) { return WIDENING.of(pixel); }

// A row of pixels into RGBA words, four bytes a pixel, with an alpha byte of
// 255. Computed rather than looked up, so that the compiler widens several
// pixels at once with vector instructions.
inline void widenOpaqueRow(uint8_t* __restrict out, const uint16_t* __restrict pixels, int32_t count) {
    for (int32_t k = 0; k < count; ++k) {
        const uint32_t word = widenedRgb(pixels[k]) | 0xFF000000u;
        std::memcpy(out + 4 * static_cast<size_t>(k), &word, sizeof word);
    }
}

// A row of RGBA words, four bytes a pixel, into pixels; alpha is not looked at.
inline void narrowRgbaRow(uint16_t* __restrict pixels, const uint8_t* __restrict rgba, int32_t count) {
    for (int32_t k = 0; k < count; ++k) {
        uint32_t word;
        std::memcpy(&word, rgba + 4 * static_cast<size_t>(k), sizeof word);
        pixels[k] = narrowed(word);
    }
}

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

// Widens row r of 5-6-5 pixels into `out`, which still holds the row above
// widened: only groups of four pixels that differ from the row above are
// widened; row 0 is widened whole.
constexpr int32_t WIDEN_GROUP = 4;
inline void widenChangedGroups(uint8_t* out, const uint16_t* cur, const uint16_t* up, int32_t row, int32_t width) {
    if (row == 0) {
        rgbFrom565(out, cur, width);
        return;
    }
    int32_t k = 0;
    for (; k + WIDEN_GROUP <= width; k += WIDEN_GROUP) {
        uint64_t here, above;
        std::memcpy(&here, cur + k, sizeof here);
        std::memcpy(&above, up + k, sizeof above);
        if (here != above) widenFour(out + 3 * k, cur + k);
    }
    for (; k < width; ++k) storeWidened(out + 3 * k, widened(cur[k]));
}

// A packed pixel splits into the shared byte's bits and the pixel byte's bits;
// these tables hold each byte's share.
constexpr std::array<uint16_t, 256> makePackedBits(bool shared) {
    std::array<uint16_t, 256> t{};
    for (int32_t b = 0; b < 256; ++b) t[static_cast<size_t>(b)] = shared ? packedPixel(b, 0) : packedPixel(0, b);
    return t;
}
inline constexpr std::array<uint16_t, 256> PACKED_LOW_BITS = makePackedBits(false);
inline constexpr std::array<uint16_t, 256> PACKED_SHARED_BITS = makePackedBits(true);

// The pixel byte of a packed pixel, from the pixel's two bytes.
constexpr uint8_t packedByteFrom(uint32_t pixel) { return packedPixelByte(static_cast<uint16_t>(pixel)); }
inline constexpr ByteSplitTables<uint8_t> PACKED_BYTE = makeByteSplitTables<uint8_t>(packedByteFrom);
inline uint8_t packedByteOf(uint16_t pixel) { return PACKED_BYTE.of(pixel); }

}  // namespace qvr
