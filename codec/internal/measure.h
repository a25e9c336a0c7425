// The encoders' measuring primitives. Sequences may start at any byte address;
// none reads past its cap.
// Internal to the codec; inline so that the line encoders can fold them in.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/format.h"

namespace qvr {

template <typename Word>
inline Word load(const void* p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// Common byte prefix of a and b, at most cap, eight bytes at a time: the
// lowest differing byte ends it.
inline int32_t matchLength(const void* a, const void* b, int32_t cap) {
    const auto* x = static_cast<const uint8_t*>(a);
    const auto* y = static_cast<const uint8_t*>(b);
    int32_t n = 0;
    for (; n + 8 <= cap; n += 8) {
        const uint64_t diff = load<uint64_t>(x + n) ^ load<uint64_t>(y + n);
        if (diff) return n + std::countr_zero(diff) / 8;
    }
    while (n < cap && x[n] == y[n]) ++n;
    return n;
}

// A 1-, 2- or 4-byte unit repeated across eight bytes.
template <typename Unit>
inline uint64_t repeated(Unit unit) {
    uint64_t word = unit;
    for (size_t bytes = sizeof(Unit); bytes < 8; bytes *= 2) word |= word << (8 * bytes);
    return word;
}

// Counts the units from p equal to the first, at most cap and at least 1,
// eight bytes at a time: the lowest differing byte ends the run.
template <typename Unit>
inline int32_t runLength(const void* p, int32_t cap) {
    const auto* bytes = static_cast<const uint8_t*>(p);
    const Unit first = load<Unit>(bytes);
    const uint64_t pattern = repeated(first);
    constexpr int32_t UNITS_PER_WORD = 8 / sizeof(Unit);
    int32_t n = 0;
    for (; n + UNITS_PER_WORD <= cap; n += UNITS_PER_WORD) {
        const uint64_t diff = load<uint64_t>(bytes + n * sizeof(Unit)) ^ pattern;
        if (diff) return n + std::countr_zero(diff) / static_cast<int32_t>(8 * sizeof(Unit));
    }
    while (n < cap && load<Unit>(bytes + n * sizeof(Unit)) == first) ++n;
    return n > 0 ? n : 1;
}
inline int32_t runLength8(const void* p, int32_t cap) { return runLength<uint8_t>(p, cap); }    // bytes
inline int32_t runLength16(const void* p, int32_t cap) { return runLength<uint16_t>(p, cap); }  // 16-bit units
inline int32_t runLength32(const void* p, int32_t cap) { return runLength<uint32_t>(p, cap); }  // pixel pairs

// The high bit of each 16-bit lane of x set where that lane is 0, exactly.
inline uint64_t zeroLanes16(uint64_t x) {
    constexpr uint64_t LOW15 = 0x7FFF7FFF7FFF7FFFull, HIGH = 0x8000800080008000ull;
    return ~(((x & LOW15) + LOW15) | x) & HIGH;
}

// Pixels one CMD_PACKED can carry: those that agree with the first under
// PACKED_SHARED_MASK, stopping before three equal pixels in a row, which a
// fill codes better. Looks at four pixels at a time while four remain.
inline int32_t packedRunLength(const uint16_t* p, int32_t cap) {
    if (cap <= 1) return 1;
    const uint16_t sharedBits = p[0] & PACKED_SHARED_MASK;
    const uint64_t mask = repeated<uint16_t>(PACKED_SHARED_MASK);
    const uint64_t shared = repeated<uint16_t>(sharedBits);
    uint64_t before = static_cast<uint16_t>(~p[0]);  // the pixel before the first: unequal to it
    uint64_t equalBefore = 0;                        // bit 15: the pixel before equals the one before it
    constexpr int32_t NONE = 1 << 30;
    int32_t i = 0;
    for (; i + 4 <= cap; i += 4) {
        const uint64_t w = load<uint64_t>(p + i);
        const uint64_t mismatch = (w & mask) ^ shared;
        const uint64_t equal = zeroLanes16(w ^ (w << 16 | before));   // lane k: pixel i+k equals i+k-1
        const uint64_t triple = equal & (equal << 16 | equalBefore);  // ... and i+k-1 equals i+k-2
        const int32_t m = mismatch ? i + std::countr_zero(mismatch) / 16 : NONE;
        const int32_t t = triple ? i + std::countr_zero(triple) / 16 : NONE;
        if (t < m) return t - 2;
        if (m != NONE) return m;
        before = w >> 48;
        equalBefore = equal >> 48;
    }
    bool equalPrevious = equalBefore != 0;
    for (; i < cap; ++i) {
        if ((p[i] & PACKED_SHARED_MASK) != sharedBits) return i;
        const bool equal = i > 0 && p[i] == p[i - 1];
        if (equal && equalPrevious) return i - 2;
        equalPrevious = equal;
    }
    return cap;
}

// Byte lanes of a 64-bit word, lowest address first: the high bit of each
// lane of zeroBytes(x) is set where that byte of x is 0, exactly; of
// commandBytes(x), where that byte is a command byte (0xF8 and above).
constexpr uint64_t LANE_HIGH_BITS = 0x8080808080808080ull;
inline uint64_t zeroBytes(uint64_t x) {
    constexpr uint64_t LOW7 = 0x7F7F7F7F7F7F7F7Full;
    return ~(((x & LOW7) + LOW7) | x) & LANE_HIGH_BITS;
}
inline uint64_t commandBytes(uint64_t x) {
    static_assert(FIRST_COMMAND_BYTE == 0xF8, "command bytes are those with their top five bits set");
    return x & (x << 1) & (x << 2) & (x << 3) & (x << 4) & LANE_HIGH_BITS;
}
// The lane of the lowest set high bit, or 8 when none is set.
inline int32_t firstLane(uint64_t laneBits) { return laneBits ? std::countr_zero(laneBits) / 8 : 8; }

}  // namespace qvr
