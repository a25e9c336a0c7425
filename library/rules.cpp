#include "library/rules.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <cstring>

namespace qvr {
namespace {

constexpr uint32_t WHITE = 0xFFFFFF;
constexpr int32_t NO_INDEX = -1;
// The most samples a byte of a plane gives: a copy's 2 bytes give CAP_COPY_8,
// and no command gives more a byte.
constexpr uint64_t SAMPLES_PER_BYTE = CAP_COPY_8 / 2;
static_assert(CAP_PAIR_8 / 4 <= SAMPLES_PER_BYTE && CAP_FILL_8 / 2 <= SAMPLES_PER_BYTE);

uint32_t colourOf(const uint8_t* palette, int32_t index) {
    const uint8_t* rgb = palette + 3 * index;
    return static_cast<uint32_t>(rgb[0]) << 16 | static_cast<uint32_t>(rgb[1]) << 8 | rgb[2];
}

}  // namespace

// Every index but 246 and 255 reads back as itself in its own colour; those
// two read back white. So only a coloured 246 or 255 in use changes a pixel,
// and memchr finds one at the speed of memory.
bool indicesKeepTheirColours(const uint8_t* indices, size_t count, const uint8_t* palette) {
    for (const int32_t index : {WHITE_PALETTE_ENTRY, 255})
        if (colourOf(palette, index) != WHITE && std::memchr(indices, index, count) != nullptr) return false;
    return true;
}

bool renumberColours(const uint8_t* indices, size_t count, const uint8_t* palette, uint8_t* renumbered,
                     uint8_t* newPalette) {
    std::array<int32_t, 256> newIndex;
    newIndex.fill(NO_INDEX);
    std::array<uint32_t, 256> colourAt{};  // the colour each new index holds
    std::array<bool, 256> taken{};
    int32_t next = 0;
    for (size_t p = 0; p < count; ++p) {
        const uint8_t old = indices[p];
        if (newIndex[old] != NO_INDEX) continue;
        const uint32_t colour = colourOf(palette, old);
        int32_t chosen = colour == WHITE ? WHITE_PALETTE_ENTRY : NO_INDEX;
        for (int32_t i = 0; i < next && chosen == NO_INDEX; ++i)  // another entry of the same colour
            if (i != WHITE_PALETTE_ENTRY && taken[static_cast<size_t>(i)] && colourAt[static_cast<size_t>(i)] == colour)
                chosen = i;
        if (chosen == NO_INDEX) {
            if (next == WHITE_PALETTE_ENTRY) ++next;
            if (next >= 255) return false;
            chosen = next++;
        }
        newIndex[old] = chosen;
        taken[static_cast<size_t>(chosen)] = true;
        colourAt[static_cast<size_t>(chosen)] = colour;
    }
    std::memset(newPalette, 0, 768);
    for (int32_t i = 0; i < 256; ++i) {
        if (!taken[static_cast<size_t>(i)]) continue;
        const uint32_t colour = colourAt[static_cast<size_t>(i)];
        newPalette[3 * i] = static_cast<uint8_t>(colour >> 16);
        newPalette[3 * i + 1] = static_cast<uint8_t>(colour >> 8);
        newPalette[3 * i + 2] = static_cast<uint8_t>(colour);
    }
    for (size_t p = 0; p < count; ++p) renumbered[p] = static_cast<uint8_t>(newIndex[indices[p]]);
    return true;
}

// A block at a time without a branch per sample, so that the compiler can
// take many samples a step.
bool anyTranslucent(const uint8_t* alpha, size_t count, size_t step) {
    constexpr size_t BLOCK = 256;
    size_t p = 0;
    for (; p + BLOCK <= count; p += BLOCK) {
        uint8_t all = 255;
        for (size_t k = 0; k < BLOCK; ++k) all &= alpha[(p + k) * step];
        if (all != 255) return true;
    }
    for (; p < count; ++p)
        if (alpha[p * step] != 255) return true;
    return false;
}

FileSpan fileSpan(const FileHeader& header) {
    const uint64_t width = header.width, height = header.height;
    const uint64_t leastPlane = height * ((width + SAMPLES_PER_BYTE - 1) / SAMPLES_PER_BYTE);
    FileSpan span{header.dataOffset + leastPlane, header.dataOffset + planeReach(header, false)};
    if (header.bitsPerPixel == 8) {
        span.most = std::max(span.most, uint64_t{header.auxOffset} + PALETTE_BYTES + PLANE_READ_SLACK);
    } else if (header.auxOffset != 0) {
        span.least = std::max(span.least, header.auxOffset + leastPlane);
        span.most = std::max(span.most, header.auxOffset + planeReach(header, true));
    }
    return span;
}

}  // namespace qvr
