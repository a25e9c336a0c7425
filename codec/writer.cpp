#include "codec/writer.h"

#include <bit>
#include <climits>
#include <cstring>

namespace qvr {
namespace {

// A few spare samples after the last slot let the encoders look a little past
// a row's end with whole-word loads; what they see there is masked out.
constexpr int32_t WRITER_SPARE_SAMPLES = 8;
using ByteRing = RowRing<uint8_t, WRITER_SPARE_SAMPLES>;
using PixelRing = RowRing<uint16_t, WRITER_SPARE_SAMPLES>;

constexpr uint16_t RESERVED1_VALUE = 0xFFFF;

// Candidates of the 8-bit encoder, in measuring order; the command byte is 0xFF - index.
enum Candidate8 { C8_COPY_UP, C8_COPY_UP2, C8_FILL, C8_PAIR, C8_COUNT };
constexpr int32_t CAP_COPY_8 = 258, CAP_FILL_8 = 259, CAP_PAIR_8 = 516;
constexpr int32_t MIN_COPY_8 = 3, MIN_FILL_8 = 4, MIN_PAIR_8 = 6;

// Candidates of the 16-bit encoder; the command byte is 0xFF - index too.
enum Candidate16 { C16_COPY_UP, C16_COPY_UP2, C16_FILL, C16_PAIR, C16_UP_LEFT, C16_UP_RIGHT, C16_COUNT };
constexpr int32_t CAP_COPY_16 = 257, CAP_FILL_16 = 258, CAP_PAIR_16 = 514, CAP_PACKED_16 = 256;
constexpr int32_t MIN_COPY_16 = 2, MIN_FILL_16 = 3, MIN_PAIR_16 = 4, MIN_PACKED_16 = 2;

inline int32_t minOf(int32_t a, int32_t b) { return a < b ? a : b; }

template <typename Word>
inline Word load(const void* p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// True unless every candidate certainly falls short of its minimum at `p`:
// a quick whole-word look that lets the usual literal skip the measuring.
inline bool anyCandidate8(const uint8_t* p, const uint8_t* above, const uint8_t* above2) {
    const uint32_t here = load<uint32_t>(p);
    const bool copyUp = ((here ^ load<uint32_t>(above)) & 0xFFFFFF) == 0;
    const bool copyUp2 = ((here ^ load<uint32_t>(above2)) & 0xFFFFFF) == 0;
    const bool fill = here == (here & 0xFF) * 0x01010101u;
    const bool pair = load<uint32_t>(p + 2) == here;
    return copyUp | copyUp2 | fill | pair;
}

inline bool anyCandidate16(const uint16_t* p, const uint16_t* above, const uint16_t* above2) {
    const uint32_t here = load<uint32_t>(p);
    const bool copyUp = here == load<uint32_t>(above);
    const bool copyUp2 = here == load<uint32_t>(above2);
    const bool fill = (p[1] == p[0]) & (p[2] == p[0]);
    const bool pair = load<uint32_t>(p + 2) == here;
    const bool neighbour = (above[-1] == p[0]) | (above[1] == p[0]);
    return copyUp | copyUp2 | fill | pair | neighbour;
}
inline int32_t keptOrZero(int32_t length, int32_t minimum) { return length >= minimum ? length : 0; }

// A 1-, 2- or 4-byte unit repeated across eight bytes.
template <typename Unit>
uint64_t repeated(Unit unit) {
    uint64_t word = unit;
    for (size_t bytes = sizeof(Unit); bytes < 8; bytes *= 2) word |= word << (8 * bytes);
    return word;
}

// Counts the units from p equal to the first, at most cap and at least 1,
// eight bytes at a time: the lowest differing byte ends the run.
template <typename Unit>
int32_t runLength(const void* p, int32_t cap) {
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

// Measures the four candidates at position i of row r; a candidate that reaches
// its cap ends the measuring. Returns the chosen index, or -1 for a literal.
int32_t chooseCommand8(const uint8_t* cur, const uint8_t* up, const uint8_t* up2, int32_t r,
                       int32_t i, int32_t width, int32_t* lengths) {
    const int32_t rem = width - i;
    if (!anyCandidate8(cur + i, up + i, up2 + i)) return -1;  // lengths are read only for a chosen command
    for (int32_t k = 0; k < C8_COUNT; ++k) lengths[k] = 0;
    bool capped = false;
    // Each candidate is measured only when its first samples show that it can
    // reach its minimum; otherwise its length would be set to 0 anyway.
    const uint8_t* p = cur + i;
    if (rem >= MIN_COPY_8 && r >= 1 && p[0] == up[i] && p[1] == up[i + 1] && p[2] == up[i + 2]) {
        const int32_t cap = minOf(rem, CAP_COPY_8);
        lengths[C8_COPY_UP] = keptOrZero(matchLength(p, up + i, cap), MIN_COPY_8);
        capped = lengths[C8_COPY_UP] >= cap;
    }
    if (!capped && rem >= MIN_COPY_8 && r >= 2 && p[0] == up2[i] && p[1] == up2[i + 1] &&
        p[2] == up2[i + 2]) {
        const int32_t cap = minOf(rem, CAP_COPY_8);
        lengths[C8_COPY_UP2] = keptOrZero(matchLength(p, up2 + i, cap), MIN_COPY_8);
        capped = lengths[C8_COPY_UP2] >= cap;
    }
    if (!capped && rem >= MIN_FILL_8 && p[1] == p[0] && p[2] == p[0] && p[3] == p[0]) {
        const int32_t cap = minOf(rem, CAP_FILL_8);
        lengths[C8_FILL] = keptOrZero(runLength8(p, cap), MIN_FILL_8);
        capped = lengths[C8_FILL] >= cap;
    }
    if (!capped && rem >= MIN_PAIR_8 && p[2] == p[0] && p[3] == p[1] && p[4] == p[0] && p[5] == p[1]) {
        const int32_t cap = minOf(rem, CAP_PAIR_8);
        lengths[C8_PAIR] = keptOrZero(2 * runLength16(p, cap / 2), MIN_PAIR_8);
    }
    if ((lengths[0] | lengths[1] | lengths[2] | lengths[3]) == 0) return -1;  // the usual case
    return pickLongest(lengths, C8_COUNT);
}

// Emits the command chosen at position i and returns how many samples it covers.
int32_t emitCommand8(const StreamProcs& out, const uint8_t* cur, int32_t i, int32_t chosen, int32_t length) {
    putByte(out, 0xFF - chosen);
    switch (chosen) {
    case C8_COPY_UP:
    case C8_COPY_UP2:
        putByte(out, length - COPY_BIAS_8);
        break;
    case C8_FILL:
        putByte(out, length - FILL_BIAS_8);
        putByte(out, cur[i]);
        break;
    default:  // C8_PAIR
        putByte(out, length / 2 - PAIR_BIAS_8);
        putByte(out, cur[i]);
        putByte(out, cur[i + 1]);
        break;
    }
    return length;
}

void encodeRow8(const StreamProcs& out, const uint8_t* cur, const uint8_t* up, const uint8_t* up2,
                int32_t r, int32_t width) {
    int32_t lengths[C8_COUNT];
    int32_t i = 0;
    while (i < width) {
        const int32_t chosen = chooseCommand8(cur, up, up2, r, i, width, lengths);
        if (chosen >= 0) {
            i += emitCommand8(out, cur, i, chosen, lengths[chosen]);
            continue;
        }
        if (cur[i] >= FIRST_COMMAND_BYTE) putByte(out, CMD_ESCAPE);
        putByte(out, cur[i]);
        ++i;
    }
}

int32_t chooseCommand16(const uint16_t* cur, const uint16_t* up, const uint16_t* up2, int32_t r,
                        int32_t j, int32_t width, int32_t* lengths) {
    const int32_t rem = width - j;
    if (!anyCandidate16(cur + j, up + j, up2 + j)) return -1;  // lengths are read only for a chosen command
    for (int32_t k = 0; k < C16_COUNT; ++k) lengths[k] = 0;
    bool capped = false;
    // As in the 8-bit encoder, a candidate whose first pixels cannot reach its
    // minimum is not measured.
    const uint16_t* p = cur + j;
    if (rem >= MIN_COPY_16 && r >= 1 && p[0] == up[j] && p[1] == up[j + 1]) {
        const int32_t cap = minOf(rem, CAP_COPY_16);
        lengths[C16_COPY_UP] = keptOrZero(matchLength(p, up + j, 2 * cap) / 2, MIN_COPY_16);
        capped = lengths[C16_COPY_UP] >= cap;
    }
    if (!capped && rem >= MIN_COPY_16 && r >= 2 && p[0] == up2[j] && p[1] == up2[j + 1]) {
        const int32_t cap = minOf(rem, CAP_COPY_16);
        lengths[C16_COPY_UP2] = keptOrZero(matchLength(p, up2 + j, 2 * cap) / 2, MIN_COPY_16);
        capped = lengths[C16_COPY_UP2] >= cap;
    }
    if (!capped && rem >= MIN_FILL_16 && p[1] == p[0] && p[2] == p[0]) {
        const int32_t cap = minOf(rem, CAP_FILL_16);
        lengths[C16_FILL] = keptOrZero(runLength16(p, cap), MIN_FILL_16);
        capped = lengths[C16_FILL] >= cap;
    }
    if (!capped && rem >= MIN_PAIR_16 && p[2] == p[0] && p[3] == p[1]) {
        const int32_t cap = minOf(rem, CAP_PAIR_16);
        lengths[C16_PAIR] = keptOrZero(2 * runLength32(p, cap / 2), MIN_PAIR_16);
        capped = lengths[C16_PAIR] >= cap;
    }
    if (!capped) {
        if (j >= 1 && r >= 1 && cur[j] == up[j - 1]) lengths[C16_UP_LEFT] = 1;
        if (j + 1 < width && r >= 1 && cur[j] == up[j + 1]) lengths[C16_UP_RIGHT] = 1;
    }
    const int32_t chosen = pickLongest(lengths, C16_COUNT);
    return lengths[chosen] > 0 ? chosen : -1;
}

int32_t emitCommand16(const StreamProcs& out, const uint16_t* cur, int32_t j, int32_t chosen, int32_t length) {
    putByte(out, 0xFF - chosen);
    switch (chosen) {
    case C16_COPY_UP:
    case C16_COPY_UP2:
        putByte(out, length - COPY_BIAS_16);
        break;
    case C16_FILL:
        putByte(out, length - FILL_BIAS_16);
        putWord(out, cur[j]);
        break;
    case C16_PAIR:
        putByte(out, length / 2 - PAIR_BIAS_16);
        putWord(out, cur[j]);
        putWord(out, cur[j + 1]);
        break;
    default:  // C16_UP_LEFT, C16_UP_RIGHT: the command byte alone
        break;
    }
    return length;
}

// A packed run when at least two pixels share their high bits, else one literal.
int32_t emitPackedOrLiteral16(const StreamProcs& out, const uint16_t* cur, int32_t j, int32_t width) {
    const int32_t n = packedRunLength(cur + j, minOf(width - j, CAP_PACKED_16));
    if (n >= MIN_PACKED_16) {
        putByte(out, CMD_PACKED);
        putByte(out, n - PACKED_BIAS_16);
        putByte(out, packedSharedByte(cur[j]));
        for (int32_t k = 0; k < n; ++k) putByte(out, packedPixelByte(cur[j + k]));
        return n;
    }
    if ((cur[j] & 0xFF) >= FIRST_COMMAND_BYTE) putByte(out, CMD_ESCAPE);
    putWord(out, cur[j]);
    return 1;
}

void encodeRow16(const StreamProcs& out, const uint16_t* cur, const uint16_t* up, const uint16_t* up2,
                 int32_t r, int32_t width) {
    int32_t lengths[C16_COUNT];
    int32_t j = 0;
    while (j < width) {
        const int32_t chosen = chooseCommand16(cur, up, up2, r, j, width, lengths);
        j += chosen >= 0 ? emitCommand16(out, cur, j, chosen, lengths[chosen])
                         : emitPackedOrLiteral16(out, cur, j, width);
    }
}

void writeHeader(CodecContext* ctx, const FileHeader& header) {
    ctx->procs.seek(ctx->procs.userData, 0, SEEK_FROM_START);
    ctx->procs.write(ctx->procs.userData, &header, HEADER_BYTES);
}

// At depth 32: point auxOffset at the end of the colour stream, rewrite the
// header there, and encode the alpha plane from that position.
void writeAlphaPass(CodecContext* ctx, FileHeader* header) {
    const int32_t position = ctx->procs.seek(ctx->procs.userData, 0, SEEK_FROM_CURRENT);
    header->auxOffset = static_cast<uint32_t>(position);
    writeHeader(ctx, *header);
    ctx->procs.seek(ctx->procs.userData, position, SEEK_FROM_START);
    encode8(ctx, *header);
}

}  // namespace

int32_t putByte(const StreamProcs& procs, int32_t value) {
    const uint8_t byte = static_cast<uint8_t>(value);
    return procs.write(procs.userData, &byte, 1) > 0 ? value : -1;
}
int32_t putByte(CodecContext* ctx, int32_t value) { return putByte(ctx->procs, value); }

int32_t putWord(const StreamProcs& procs, int32_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    return procs.write(procs.userData, bytes, 2) > 0 ? value : -1;
}
int32_t putWord(CodecContext* ctx, int32_t value) { return putWord(ctx->procs, value); }

int32_t matchLength(const void* a, const void* b, int32_t cap) {
    const auto* x = static_cast<const uint8_t*>(a);
    const auto* y = static_cast<const uint8_t*>(b);
    int32_t n = 0;
    for (; n + 8 <= cap; n += 8) {  // eight bytes at a time; the lowest differing byte ends it
        const uint64_t diff = load<uint64_t>(x + n) ^ load<uint64_t>(y + n);
        if (diff) return n + std::countr_zero(diff) / 8;
    }
    while (n < cap && x[n] == y[n]) ++n;
    return n;
}

int32_t runLength8(const void* p, int32_t cap) { return runLength<uint8_t>(p, cap); }
int32_t runLength16(const void* p, int32_t cap) { return runLength<uint16_t>(p, cap); }
int32_t runLength32(const void* p, int32_t cap) { return runLength<uint32_t>(p, cap); }

// A run carries pixels that agree with the first under PACKED_SHARED_MASK, and
// stops before three equal pixels in a row, which a fill codes better.
int32_t packedRunLength(const uint16_t* p, int32_t cap) {
    if (cap <= 1) return 1;
    const uint16_t shared = p[0] & PACKED_SHARED_MASK;
    uint16_t prev = p[0];
    int32_t streak = 1;
    for (int32_t i = 1; i < cap; ++i) {
        if ((p[i] & PACKED_SHARED_MASK) != shared) return i;
        if (p[i] == prev) {
            if (++streak == 3) return i - 2;
        } else {
            streak = 1;
            prev = p[i];
        }
    }
    return cap;
}

int32_t pickLongest(const int32_t* lengths, int32_t n) {
    int32_t best = 0;
    for (int32_t k = 1; k < n; ++k)
        if (lengths[k] > lengths[best]) best = k;
    return best;
}

int32_t estimateSize(CodecContext* ctx) {
    const int64_t pixels = static_cast<int64_t>(ctx->width) * ctx->height;
    int64_t minBytes, maxBytes;
    if (ctx->depth == 8) {
        minBytes = pixels / 128 + INDEXED_DATA_OFFSET;
        maxBytes = 2 * pixels + INDEXED_DATA_OFFSET;
    } else {
        minBytes = pixels / 256 + HEADER_BYTES;
        maxBytes = 3 * pixels + HEADER_BYTES;
    }
    auto clamp32 = [](int64_t v) {
        return static_cast<int32_t>(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
    };
    ctx->minBytes = clamp32(minBytes);
    ctx->maxBytes = clamp32(maxBytes);
    return 1;
}

int32_t encode8(CodecContext* ctx, const FileHeader& header) {
    const int32_t kind = header.bitsPerPixel == 8 ? ROW_KIND_INDEX : ROW_KIND_ALPHA;
    ByteRing ring;  // cleared so that a row the host failed to fill reads as zeros
    std::memset(&ring, 0, sizeof ring);
    const StreamProcs procs = ctx->procs;  // a local copy stays in registers across the calls
    for (int32_t r = 0; r < ctx->height; ++r) {
        uint8_t* cur = ring.slot(r);
        procs.getRows(procs.userData, cur, ROW_SLOT_SAMPLES, kind, 0, r, ctx->width, 1);
        encodeRow8(procs, cur, ring.slot(r - 1), ring.slot(r - 2), r, ctx->width);
        procs.progress(procs.userData, r + 1, ctx->height);
    }
    return 1;
}

int32_t encode16(CodecContext* ctx, FileHeader* header) {
    PixelRing ring;
    uint8_t rgbRow[RGB_ROW_BYTES];
    std::memset(&ring, 0, sizeof ring);
    std::memset(rgbRow, 0, sizeof rgbRow);
    const StreamProcs procs = ctx->procs;
    for (int32_t r = 0; r < ctx->height; ++r) {
        uint16_t* cur = ring.slot(r);
        procs.getRows(procs.userData, rgbRow, RGB_ROW_BYTES, ROW_KIND_RGB, 0, r, ctx->width, 1);
        rgbTo565(cur, rgbRow, ctx->width);
        encodeRow16(procs, cur, ring.slot(r - 1), ring.slot(r - 2), r, ctx->width);
        procs.progress(procs.userData, r + 1, ctx->height);
    }
    if (ctx->depth == 32) writeAlphaPass(ctx, header);
    return 1;
}

int32_t writeImage(CodecContext* ctx) {
    if (ctx->width > ROW_SLOT_SAMPLES) return 1;  // would overrun the row buffers
    const bool indexed = ctx->depth == 8;
    FileHeader header = {};
    header.magic[0] = QVR_MAGIC_0;
    header.magic[1] = QVR_MAGIC_1;
    header.version = QVR_VERSION;
    header.headerSize = HEADER_BYTES;
    header.bitsPerPixel = indexed ? 8 : 16;
    header.reserved1 = RESERVED1_VALUE;
    header.width = static_cast<uint32_t>(ctx->width);
    header.height = static_cast<uint32_t>(ctx->height);
    header.dataOffset = indexed ? INDEXED_DATA_OFFSET : HEADER_BYTES;
    header.auxOffset = indexed ? PALETTE_OFFSET : 0;
    writeHeader(ctx, header);
    if (indexed) {
        ctx->procs.write(ctx->procs.userData, ctx->palette, PALETTE_BYTES);
        encode8(ctx, header);
    } else {
        encode16(ctx, &header);
    }
    return 1;
}

}  // namespace qvr
