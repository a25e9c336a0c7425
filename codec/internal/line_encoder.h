// The writer's line encoders and the file writing built on them, over any
// stream type (see line_decoder.h): CallbackStream, or a binding whose bytes the
// compiler can see. The encoders are greedy: at each position they measure a
// fixed set of candidate commands, emit the longest, and move on. Internal to
// the codec.
//
// A stream type provides write(), seek(), progress(), rowOutput(n) and
// endRow(): a row's commands, at most n bytes, go out through the object
// rowOutput() returns, which has putByte(), putWord() and place(n, slack)
// (n bytes to fill in place, with slack more writable after them, or
// nullptr: then byte by byte); it also provides getSlotRow() for 8-bit rows
// and, for the colour plane, an RgbStage with startRgb() and getRgbRow(),
// which fills a row of 5-6-5 pixels. No result is tested: bindings record
// the first failure themselves.
#pragma once

#include <cstring>

#include "codec/vector_paths.h"

#ifdef QVR_SSE2
#include <emmintrin.h>
#endif

#include "codec/format.h"
#include "codec/internal/measure.h"
#include "codec/internal/pixels.h"
#include "codec/internal/ring.h"
#include "codec/row_bytes.h"

namespace qvr {

using WriterByteRing = RowRing<uint8_t, WRITER_SPARE_SAMPLES>;
using WriterPixelRing = RowRing<uint16_t, WRITER_SPARE_SAMPLES>;

constexpr uint16_t RESERVED1_VALUE = 0xFFFF;

// The 8-bit encoder's candidates are, in measuring order (the first wins a
// tie): a copy from the row above, from two rows above, a fill and a pair,
// each up to its cap (codec/format.h) and from its minimum.
constexpr int32_t MIN_COPY_8 = 3, MIN_FILL_8 = 4, MIN_PAIR_8 = 6;

// The 16-bit encoder's are the same, then the pixel above to the left and
// above to the right.
constexpr int32_t MIN_COPY_16 = 2, MIN_FILL_16 = 3, MIN_PAIR_16 = 4, MIN_PACKED_16 = 2;
// The most bytes a row's commands take per pixel: an escaped literal (a packed
// run takes at most 2.5, every other command less).
constexpr int32_t MAX_BYTES_PER_PIXEL_16 = 3;

inline int32_t minOf(int32_t a, int32_t b) { return a < b ? a : b; }

// The longest candidate measured so far: offered in measuring order, so that
// the first wins a tie. No command (-1) until one has a length.
struct Choice {
    int32_t command = -1;
    int32_t length = 0;

    void offer(int32_t candidate, int32_t candidateLength) {
        if (candidateLength > length) {
            command = candidate;
            length = candidateLength;
        }
    }
};
inline int32_t keptOrZero(int32_t length, int32_t minimum) { return length >= minimum ? length : 0; }

// The 16-bit candidates' lengths from p, each at most cap pixels: a copy of
// `from`, a fill, a pair in whole pairs.
inline int32_t copyLength16(const uint16_t* p, const uint16_t* from, int32_t cap) {
    return matchLength(p, from, 2 * cap) / 2;
}
inline int32_t fillLength16(const uint16_t* p, int32_t cap) { return runLength16(p, cap); }
inline int32_t pairLength16(const uint16_t* p, int32_t cap) { return 2 * runLength32(p, cap / 2); }

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
    const uint64_t here = load<uint64_t>(p);               // pixels 0..3
    const uint64_t nearAbove = load<uint64_t>(above - 1);  // the pixels above, from one to the left
    const uint32_t first2 = static_cast<uint32_t>(here);
    const bool copyUp = static_cast<uint32_t>(nearAbove >> 16) == first2;
    const bool copyUp2 = load<uint32_t>(above2) == first2;
    const bool fill = ((here ^ (here >> 16)) & 0xFFFFFFFF) == 0;  // pixel 1 equals 0, pixel 2 equals 1
    const bool pair = static_cast<uint32_t>(here >> 32) == first2;
    const uint64_t pixel0 = here & 0xFFFF;
    const bool neighbour = ((nearAbove & 0xFFFF) == pixel0) | (((nearAbove >> 32) & 0xFFFF) == pixel0);
    return copyUp | copyUp2 | fill | pair | neighbour;
}

// Measures the four candidates at position i of row r; a candidate that reaches
// its cap ends the measuring. Returns the longest, or no command for a literal.
inline Choice chooseCommand8(const uint8_t* cur, const uint8_t* up, const uint8_t* up2, int32_t r, int32_t i,
                             int32_t width) {
    Choice choice;
    const int32_t rem = width - i;
    if (!anyCandidate8(cur + i, up + i, up2 + i)) return choice;
    bool capped = false;
    // Each candidate is measured only when its first samples show that it can
    // reach its minimum; otherwise its length would be 0 anyway. The tests are
    // whole-word looks joined without branches (the samples past the row's end
    // they may see are ring samples, and rem rules them out).
    const uint8_t* p = cur + i;
    const uint64_t here = load<uint64_t>(p);
    constexpr uint64_t FIRST3 = 0xFFFFFF, FIRST4 = 0xFFFFFFFF;
    if ((rem >= MIN_COPY_8) & (r >= 1) & (((here ^ load<uint64_t>(up + i)) & FIRST3) == 0)) {
        const int32_t cap = minOf(rem, CAP_COPY_8);
        const int32_t length = keptOrZero(matchLength(p, up + i, cap), MIN_COPY_8);
        choice.offer(CMD_COPY_UP, length);
        capped = length >= cap;
    }
    if (!capped && ((rem >= MIN_COPY_8) & (r >= 2) & (((here ^ load<uint64_t>(up2 + i)) & FIRST3) == 0))) {
        const int32_t cap = minOf(rem, CAP_COPY_8);
        const int32_t length = keptOrZero(matchLength(p, up2 + i, cap), MIN_COPY_8);
        choice.offer(CMD_COPY_UP2, length);
        capped = length >= cap;
    }
    if (!capped && ((rem >= MIN_FILL_8) & (((here ^ (here >> 8)) & FIRST3) == 0))) {
        const int32_t cap = minOf(rem, CAP_FILL_8);
        const int32_t length = keptOrZero(runLength8(p, cap), MIN_FILL_8);
        choice.offer(CMD_FILL, length);
        capped = length >= cap;
    }
    if (!capped && ((rem >= MIN_PAIR_8) & (((here ^ (here >> 16)) & FIRST4) == 0))) {
        const int32_t cap = minOf(rem, CAP_PAIR_8);
        choice.offer(CMD_PAIR, keptOrZero(2 * runLength16(p, cap / 2), MIN_PAIR_8));
    }
    return choice;
}

// A literal, after an escape byte when it reads as a command byte. A row's
// own bytes take the escape always and keep it only when needed: escaped
// and plain samples mix unpredictably in soft alpha edges.
template <typename Row>
void putLiteral(Row& out, uint8_t sample) {
    if (sample >= FIRST_COMMAND_BYTE) out.putByte(CMD_ESCAPE);
    out.putByte(sample);
}
inline void putLiteral(RowBytes& out, uint8_t sample) {
    out.cursor[0] = CMD_ESCAPE;
    out.cursor += sample >= FIRST_COMMAND_BYTE;
    *out.cursor++ = sample;
}

// A 16-bit literal escapes on its low byte, the first in the stream.
template <typename Row>
void putLiteral(Row& out, uint16_t pixel) {
    if ((pixel & 0xFF) >= FIRST_COMMAND_BYTE) out.putByte(CMD_ESCAPE);
    out.putWord(pixel);
}

// Count biases and operands of the commands both kinds of stream share.
template <typename Sample>
struct CommandBiases;
template <>
struct CommandBiases<uint8_t> {
    static constexpr int32_t COPY = COPY_BIAS_8, FILL = FILL_BIAS_8, PAIR = PAIR_BIAS_8;
};
template <>
struct CommandBiases<uint16_t> {
    static constexpr int32_t COPY = COPY_BIAS_16, FILL = FILL_BIAS_16, PAIR = PAIR_BIAS_16;
};
template <typename Row>
void putSample(Row& out, uint8_t sample) {
    out.putByte(sample);
}
template <typename Row>
void putSample(Row& out, uint16_t sample) {
    out.putWord(sample);
}

// Emits `command` for the samples from position i and returns how many it covers.
template <typename Row, typename Sample>
[[gnu::always_inline]] inline int32_t emitCommand(Row& out, const Sample* cur, int32_t i, int32_t command,
                                                  int32_t length) {
    using Biases = CommandBiases<Sample>;
    out.putByte(command);
    switch (command) {
    case CMD_COPY_UP:
    case CMD_COPY_UP2: out.putByte(length - Biases::COPY); break;
    case CMD_FILL:
        out.putByte(length - Biases::FILL);
        putSample(out, cur[i]);
        break;
    case CMD_PAIR:
        out.putByte(length / 2 - Biases::PAIR);
        putSample(out, cur[i]);
        putSample(out, cur[i + 1]);
        break;
    default:  // CMD_UP_LEFT, CMD_UP_RIGHT: the command byte alone
        break;
    }
    return length;
}

// An 8-bit plane's literals go out a group of positions at a time:
// literalPrefix8() finds, in one look, how many positions from p certainly
// start no candidate (each candidate needs its first samples to match, as
// chooseCommand8() tests), and emitLiterals() writes them with one store
// where none is a command byte. The alpha plane's look, lookGroup8(), also
// keeps for each position whether the sample equals the one above, two
// above, the next and the one after it, and a command whose runs all end
// inside the group is read off these marks, as the colour encoder does
// (below). Index rows keep literalPrefix8() as it is: written as a use of
// lookGroup8(), it made them a third slower. With SSE2 a group is sixteen
// positions, else eight in a 64-bit word; a look reads the group and three
// samples more from p and two more from each row above.
struct GroupMarks8 {                // bit k for the group's position k: the sample equals
    uint32_t up, up2, next, next2;  // the one above, two above, the next, the one after it
};
#ifdef QVR_SSE2
constexpr int32_t LITERAL_GROUP_8 = 16;
inline __m128i sixteen(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline int32_t literalPrefix8(const uint8_t* p, const uint8_t* above, const uint8_t* above2) {
    const __m128i c0 = sixteen(p), c1 = sixteen(p + 1), c2 = sixteen(p + 2), c3 = sixteen(p + 3);
    const __m128i copyUp =
        _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(c0, sixteen(above)), _mm_cmpeq_epi8(c1, sixteen(above + 1))),
                      _mm_cmpeq_epi8(c2, sixteen(above + 2)));
    const __m128i copyUp2 =
        _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(c0, sixteen(above2)), _mm_cmpeq_epi8(c1, sixteen(above2 + 1))),
                      _mm_cmpeq_epi8(c2, sixteen(above2 + 2)));
    const __m128i sameAs2 = _mm_cmpeq_epi8(c0, c2);
    const __m128i fill = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(c0, c1), sameAs2), _mm_cmpeq_epi8(c0, c3));
    const __m128i pair = _mm_and_si128(sameAs2, _mm_cmpeq_epi8(c1, c3));
    const auto lanes =
        static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(copyUp, copyUp2), _mm_or_si128(fill, pair))));
    return lanes ? std::countr_zero(lanes) : LITERAL_GROUP_8;
}
using Lanes8 = __m128i;
inline uint32_t bitsOf(Lanes8 lanes) { return static_cast<uint32_t>(_mm_movemask_epi8(lanes)); }
struct GroupLook8 {
    uint32_t candidate;           // bit k: a command may start at position k
    Lanes8 up, up2, next, next2;  // the lanes of GroupMarks8, turned into bits only when a command follows
};
inline GroupLook8 lookGroup8(const uint8_t* p, const uint8_t* above, const uint8_t* above2) {
    const __m128i c0 = sixteen(p), c1 = sixteen(p + 1), c2 = sixteen(p + 2), c3 = sixteen(p + 3);
    const __m128i up = _mm_cmpeq_epi8(c0, sixteen(above)), up2 = _mm_cmpeq_epi8(c0, sixteen(above2));
    const __m128i next = _mm_cmpeq_epi8(c0, c1), next2 = _mm_cmpeq_epi8(c0, c2);
    const __m128i copyUp = _mm_and_si128(
        up, _mm_and_si128(_mm_cmpeq_epi8(c1, sixteen(above + 1)), _mm_cmpeq_epi8(c2, sixteen(above + 2))));
    const __m128i copyUp2 = _mm_and_si128(
        up2, _mm_and_si128(_mm_cmpeq_epi8(c1, sixteen(above2 + 1)), _mm_cmpeq_epi8(c2, sixteen(above2 + 2))));
    const __m128i fill = _mm_and_si128(_mm_and_si128(next, next2), _mm_cmpeq_epi8(c0, c3));
    const __m128i pair = _mm_and_si128(next2, _mm_cmpeq_epi8(c1, c3));
    const __m128i candidate = _mm_or_si128(_mm_or_si128(copyUp, copyUp2), _mm_or_si128(fill, pair));
    return {bitsOf(candidate), up, up2, next, next2};
}
// Lanes of the group's first n samples that are command bytes (0xF8 and above).
inline uint32_t escapedLanes(const uint8_t* p, int32_t n) {
    static_assert(FIRST_COMMAND_BYTE == 0xF8, "command bytes are those with their top five bits set");
    const __m128i top5 = _mm_set1_epi8(static_cast<char>(0xF8));
    const auto lanes = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(sixteen(p), top5), top5)));
    return lanes & ((1u << n) - 1);
}
inline void storeGroup(uint8_t* bytes, const uint8_t* p) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes), sixteen(p));
}
#else
constexpr int32_t LITERAL_GROUP_8 = 8;
inline int32_t literalPrefix8(const uint8_t* p, const uint8_t* above, const uint8_t* above2) {
    const uint64_t c0 = load<uint64_t>(p), c1 = load<uint64_t>(p + 1);
    const uint64_t c2 = load<uint64_t>(p + 2), c3 = load<uint64_t>(p + 3);
    const uint64_t copyUp = zeroBytes(c0 ^ load<uint64_t>(above)) & zeroBytes(c1 ^ load<uint64_t>(above + 1)) &
                            zeroBytes(c2 ^ load<uint64_t>(above + 2));
    const uint64_t copyUp2 = zeroBytes(c0 ^ load<uint64_t>(above2)) & zeroBytes(c1 ^ load<uint64_t>(above2 + 1)) &
                             zeroBytes(c2 ^ load<uint64_t>(above2 + 2));
    const uint64_t sameAs2 = zeroBytes(c0 ^ c2);
    const uint64_t fill = zeroBytes(c0 ^ c1) & sameAs2 & zeroBytes(c0 ^ c3);
    const uint64_t pair = sameAs2 & zeroBytes(c1 ^ c3);
    return firstLane(copyUp | copyUp2 | fill | pair);
}
using Lanes8 = uint64_t;
// The high bit of each byte lane, lane k as bit k.
inline uint32_t bitsOf(Lanes8 lanes) { return static_cast<uint32_t>(((lanes >> 7) * 0x0102040810204080ull) >> 56); }
struct GroupLook8 {
    uint32_t candidate;
    Lanes8 up, up2, next, next2;  // as for SSE2
};
inline GroupLook8 lookGroup8(const uint8_t* p, const uint8_t* above, const uint8_t* above2) {
    const uint64_t c0 = load<uint64_t>(p), c1 = load<uint64_t>(p + 1);
    const uint64_t c2 = load<uint64_t>(p + 2), c3 = load<uint64_t>(p + 3);
    const uint64_t up = zeroBytes(c0 ^ load<uint64_t>(above)), up2 = zeroBytes(c0 ^ load<uint64_t>(above2));
    const uint64_t next = zeroBytes(c0 ^ c1), next2 = zeroBytes(c0 ^ c2);
    const uint64_t copyUp = up & zeroBytes(c1 ^ load<uint64_t>(above + 1)) & zeroBytes(c2 ^ load<uint64_t>(above + 2));
    const uint64_t copyUp2 =
        up2 & zeroBytes(c1 ^ load<uint64_t>(above2 + 1)) & zeroBytes(c2 ^ load<uint64_t>(above2 + 2));
    const uint64_t fill = next & next2 & zeroBytes(c0 ^ c3);
    const uint64_t pair = next2 & zeroBytes(c1 ^ c3);
    return {bitsOf(copyUp | copyUp2 | fill | pair), up, up2, next, next2};
}
inline uint64_t escapedLanes(const uint8_t* p, int32_t n) {
    const uint64_t inGroup = n == LITERAL_GROUP_8 ? ~uint64_t{0} : (uint64_t{1} << (8 * n)) - 1;
    return commandBytes(load<uint64_t>(p)) & inGroup;
}
inline void storeGroup(uint8_t* bytes, const uint8_t* p) { std::memcpy(bytes, p, LITERAL_GROUP_8); }
#endif
// A look reads a group and three samples more from p. Where these all lie in
// the row, every mark is the row's own, and a run read off them that ends
// inside the group is shorter than the row's room and any cap, as measuring
// would find it; the row's room then also covers a group's store.
constexpr int32_t LOOK_REACH_8 = LITERAL_GROUP_8 + 3;

// Photographs' pixels go out a group at a time: lookGroup16() marks, in one
// look, each position of a group where the pixel equals the one above, two
// above, above to the left or right, the next or the one after it, where a
// copy, pair or neighbour may start (as anyCandidate16() tests), and where
// the next pixel shares the high bits (a packed run, or a fill, goes on).
// The positions before the first such start or shared bits certainly take
// a literal, and emitLiterals() writes them with one store where none needs
// an escape. At the first position that takes no literal, chooseInGroup()
// reads off the marks the command chooseCommand16() would measure, and
// packedRunInGroup() the packed run; only runs that reach the group's end
// are measured on the row. With SSE2 a group is eight pixels, else four
// in a 64-bit word; a look reads the group and three pixels more from p,
// one more on each side from the row above and one more from two above.
struct GroupMarks16 {      // bit k for the group's position k
    uint32_t candidate;    // a copy, pair or neighbour may start here
    uint32_t packed;       // the next pixel shares the high bits
    uint32_t up, up2;      // the pixel equals the one above, two above
    uint32_t next, next2;  // ... the next pixel, the one after it
    uint32_t left, right;  // ... the one above to the left, to the right
};
#ifdef QVR_SSE2
constexpr int32_t LITERAL_GROUP_16 = 8;
inline __m128i eightPixels(const uint16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline __m128i eightEqual(const uint16_t* a, const uint16_t* b) {
    return _mm_cmpeq_epi16(eightPixels(a), eightPixels(b));
}
inline uint32_t laneBits(__m128i lanes) {
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(lanes, _mm_setzero_si128())));
}
// Two sets of lanes as bits 0..7 and 8..15.
inline uint32_t laneBits(__m128i low, __m128i high) {
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(low, high)));
}
inline GroupMarks16 lookGroup16(const uint16_t* p, const uint16_t* above, const uint16_t* above2) {
    const __m128i up = eightEqual(p, above), up2 = eightEqual(p, above2);
    const __m128i next = eightEqual(p, p + 1), next2 = eightEqual(p, p + 2);
    const __m128i left = eightEqual(p, above - 1), right = eightEqual(p, above + 1);
    const __m128i copyUp = _mm_and_si128(up, eightEqual(p + 1, above + 1));
    const __m128i copyUp2 = _mm_and_si128(up2, eightEqual(p + 1, above2 + 1));
    const __m128i pair = _mm_and_si128(next2, eightEqual(p + 1, p + 3));
    const __m128i shared = _mm_set1_epi16(static_cast<int16_t>(PACKED_SHARED_MASK));
    const __m128i packed =
        _mm_cmpeq_epi16(_mm_and_si128(eightPixels(p), shared), _mm_and_si128(eightPixels(p + 1), shared));
    const __m128i candidate =
        _mm_or_si128(_mm_or_si128(_mm_or_si128(copyUp, copyUp2), pair), _mm_or_si128(left, right));
    const uint32_t taken = laneBits(candidate, packed), ups = laneBits(up, up2);
    const uint32_t nexts = laneBits(next, next2), sides = laneBits(left, right);
    return {taken & 0xFF, taken >> 8, ups & 0xFF, ups >> 8, nexts & 0xFF, nexts >> 8, sides & 0xFF, sides >> 8};
}
// Pixels of the group's first n whose low byte is a command byte.
inline uint32_t escapedLanes(const uint16_t* p, int32_t n) {
    const __m128i top5 = _mm_set1_epi16(FIRST_COMMAND_BYTE);
    return laneBits(_mm_cmpeq_epi16(_mm_and_si128(eightPixels(p), top5), top5)) & ((1u << n) - 1);
}
inline void storeGroup(uint8_t* bytes, const uint16_t* p) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes), eightPixels(p));
}
#else
constexpr int32_t LITERAL_GROUP_16 = 4;
inline uint64_t fourEqual(const uint16_t* a, const uint16_t* b) {
    return zeroLanes16(load<uint64_t>(a) ^ load<uint64_t>(b));
}
// The high bit of each 16-bit lane, lane k as bit k.
inline uint32_t laneBits(uint64_t lanes) {
    return static_cast<uint32_t>((lanes >> 15 & 1) | (lanes >> 30 & 2) | (lanes >> 45 & 4) | (lanes >> 60 & 8));
}
inline GroupMarks16 lookGroup16(const uint16_t* p, const uint16_t* above, const uint16_t* above2) {
    const uint64_t up = fourEqual(p, above), up2 = fourEqual(p, above2);
    const uint64_t next = fourEqual(p, p + 1), next2 = fourEqual(p, p + 2);
    const uint64_t left = fourEqual(p, above - 1), right = fourEqual(p, above + 1);
    const uint64_t copyUp = up & fourEqual(p + 1, above + 1);
    const uint64_t copyUp2 = up2 & fourEqual(p + 1, above2 + 1);
    const uint64_t pair = next2 & fourEqual(p + 1, p + 3);
    const uint64_t shared = repeated<uint16_t>(PACKED_SHARED_MASK);
    const uint64_t packed = zeroLanes16((load<uint64_t>(p) ^ load<uint64_t>(p + 1)) & shared);
    return {laneBits(copyUp | copyUp2 | pair | left | right),
            laneBits(packed),
            laneBits(up),
            laneBits(up2),
            laneBits(next),
            laneBits(next2),
            laneBits(left),
            laneBits(right)};
}
inline uint64_t escapedLanes(const uint16_t* p, int32_t n) {
    const uint64_t top5 = repeated<uint16_t>(FIRST_COMMAND_BYTE);
    const uint64_t inGroup = n == LITERAL_GROUP_16 ? ~uint64_t{0} : (uint64_t{1} << (16 * n)) - 1;
    return zeroLanes16((load<uint64_t>(p) & top5) ^ top5) & inGroup;
}
inline void storeGroup(uint8_t* bytes, const uint16_t* p) { std::memcpy(bytes, p, 2 * LITERAL_GROUP_16); }
#endif

// As LOOK_REACH_8: a look reads a group and three pixels more from p.
constexpr int32_t LOOK_REACH_16 = LITERAL_GROUP_16 + 3;

// The marks from the group's position n on, as bits 0 and up.
inline GroupMarks16 marksFrom(const GroupMarks16& m, int32_t n) {
    return {m.candidate >> n, m.packed >> n, m.up >> n,   m.up2 >> n,
            m.next >> n,      m.next2 >> n,  m.left >> n, m.right >> n};
}

// The length packedRunLength() measures from position 0 of the marks, where
// no other command starts, read off the first `shown` positions: the run
// ends at the first pixel whose high bits differ, or before three equal
// pixels, whichever comes first (three equal pixels all share their high
// bits, so they end the run only before such a pixel). 0 when the marks do
// not show the end: the run then goes on past them.
inline int32_t packedRunInGroup(const GroupMarks16& marks, int32_t shown) {
    const uint32_t ends = ~marks.packed & ((1u << shown) - 1);
    if (ends == 0) return 0;
    const int32_t mismatch = std::countr_zero(ends) + 1;
    // Three equal pixels from position k: next marks k and k + 1 (seen for
    // every k the run can end before).
    const int32_t fill = std::countr_zero((marks.next & marks.next >> 1) | 1u << LITERAL_GROUP_16);
    return fill + 2 < mismatch ? fill : mismatch;
}

// The number of set bits from bit 0 up.
inline int32_t runOfMarks(uint32_t bits) { return std::countr_zero(~bits); }

// The command chooseCommand16() picks at position j of row r, which is
// position 0 of the marks, shown for the first `shown` positions. A run of
// equal pixels that ends among them gives its candidate's length; one that
// reaches past them is measured on the row, as chooseCommand16() measures
// it. The row holds the pixels the look read (LOOK_REACH_16), so every
// candidate has room for its minimum, and no run that ends among them
// meets a cap.
struct GroupRows16 {
    const uint16_t *cur, *up, *up2;
    int32_t r, width;
};
struct GroupRuns16 {
    int32_t up, up2;  // copies' lengths
    int32_t same;     // pixels equal to the next: a fill has one more
    int32_t period;   // pixels equal to the one after next: a pair's are period + 2, in whole pairs
};
inline Choice chooseFromRuns(const GroupRuns16& runs, const GroupMarks16& marks, int32_t r, int32_t j) {
    Choice choice;
    choice.offer(CMD_COPY_UP, keptOrZero(runs.up, MIN_COPY_16));
    choice.offer(CMD_COPY_UP2, keptOrZero(runs.up2, MIN_COPY_16));
    choice.offer(CMD_FILL, keptOrZero(runs.same + 1, MIN_FILL_16));
    choice.offer(CMD_PAIR, keptOrZero(2 * (runs.period / 2 + 1), MIN_PAIR_16));
    choice.offer(CMD_UP_LEFT, static_cast<int32_t>((j >= 1) & (r >= 1) & (marks.left & 1)));
    choice.offer(CMD_UP_RIGHT, static_cast<int32_t>((r >= 1) & (marks.right & 1)));
    return choice;
}
// The runs that reach past the shown positions, measured on the row, each up
// to its cap; a copy or fill at its cap ends the measuring, as in
// chooseCommand16(). Apart from the usual path, which keeps its marks in
// registers.
[[gnu::noinline]] inline GroupRuns16 measureLongRuns(GroupRuns16 runs, const GroupRows16& rows, int32_t j,
                                                     int32_t shown) {
    const uint16_t* p = rows.cur + j;
    const int32_t rem = rows.width - j;
    const int32_t copyCap = minOf(rem, CAP_COPY_16), fillCap = minOf(rem, CAP_FILL_16);
    if (runs.up >= shown) runs.up = copyLength16(p, rows.up + j, copyCap);
    if (runs.up2 >= shown) runs.up2 = copyLength16(p, rows.up2 + j, copyCap);
    if (runs.up >= copyCap || runs.up2 >= copyCap) return {runs.up, runs.up2, 0, 0};
    if (runs.same >= shown) runs.same = fillLength16(p, fillCap) - 1;
    if (runs.same + 1 >= fillCap) return {runs.up, runs.up2, runs.same, 0};
    if (runs.period >= shown) runs.period = pairLength16(p, minOf(rem, CAP_PAIR_16)) - 2;
    return runs;
}
inline Choice chooseInGroup(const GroupMarks16& marks, const GroupRows16& rows, int32_t j, int32_t shown) {
    const int32_t r = rows.r;
    GroupRuns16 runs = {r >= 1 ? runOfMarks(marks.up) : 0, r >= 2 ? runOfMarks(marks.up2) : 0, runOfMarks(marks.next),
                        runOfMarks(marks.next2)};
    if ((runs.up >= shown) | (runs.up2 >= shown) | (runs.same >= shown) | (runs.period >= shown)) [[unlikely]]
        runs = measureLongRuns(runs, rows, j, shown);
    return chooseFromRuns(runs, marks, r, j);
}

// n literals (at most a group) from p; without an escape among them, in
// place with one store where the stream allows (the bytes past n are
// overwritten next).
template <typename Sample>
constexpr int32_t LITERAL_GROUP_OF = sizeof(Sample) == 1 ? LITERAL_GROUP_8 : LITERAL_GROUP_16;
template <typename Row, typename Sample>
void emitLiterals(Row& out, const Sample* p, int32_t n) {
    constexpr auto SIZE = static_cast<int32_t>(sizeof(Sample));
    if (escapedLanes(p, n) == 0) {
        if (uint8_t* bytes = out.place(SIZE * n, SIZE * (LITERAL_GROUP_OF<Sample> - n))) {
            storeGroup(bytes, p);
            return;
        }
    }
    for (int32_t k = 0; k < n; ++k) putLiteral(out, p[k]);
}

// The 8-bit command at position i, which is position 0 of the marks, shown
// for the first `shown` positions: read off them when every run ends among
// them, else measured on the row. The row holds the samples the look read
// (LOOK_REACH_8), so no run read off the marks meets a minimum's room or a cap.
inline Choice chooseInGroup8(const GroupMarks8& marks, const uint8_t* cur, const uint8_t* up, const uint8_t* up2,
                             int32_t r, int32_t i, int32_t width, int32_t shown) {
    const int32_t upRun = r >= 1 ? runOfMarks(marks.up) : 0, up2Run = r >= 2 ? runOfMarks(marks.up2) : 0;
    const int32_t same = runOfMarks(marks.next), period = runOfMarks(marks.next2);
    if ((upRun >= shown) | (up2Run >= shown) | (same >= shown) | (period >= shown))
        return chooseCommand8(cur, up, up2, r, i, width);
    Choice choice;
    choice.offer(CMD_COPY_UP, keptOrZero(upRun, MIN_COPY_8));
    choice.offer(CMD_COPY_UP2, keptOrZero(up2Run, MIN_COPY_8));
    choice.offer(CMD_FILL, keptOrZero(same + 1, MIN_FILL_8));
    choice.offer(CMD_PAIR, keptOrZero(2 * (period / 2 + 1), MIN_PAIR_8));
    return choice;
}

// An alpha plane's row: a short command after a group's literals is read off
// the group's marks. (Index rows measure each, which their long runs favour.)
template <typename Row>
void encodeAlphaRow8(Row& out, const uint8_t* cur, const uint8_t* up, const uint8_t* up2, int32_t r, int32_t width) {
    int32_t i = 0;
    while (i < width) {
        Choice chosen;
        if (i + LOOK_REACH_8 <= width) {
            const GroupLook8 look = lookGroup8(cur + i, up + i, up2 + i);
            const int32_t n = look.candidate ? std::countr_zero(look.candidate) : LITERAL_GROUP_8;
            if (n > 0) {
                emitLiterals(out, cur + i, n);
                i += n;
                if (n == LITERAL_GROUP_8) continue;
            }
            const GroupMarks8 rest = {bitsOf(look.up) >> n, bitsOf(look.up2) >> n, bitsOf(look.next) >> n,
                                      bitsOf(look.next2) >> n};
            chosen = chooseInGroup8(rest, cur, up, up2, r, i, width, LITERAL_GROUP_8 - n);
        } else {
            chosen = chooseCommand8(cur, up, up2, r, i, width);
        }
        if (chosen.command >= 0) {
            i += emitCommand(out, cur, i, chosen.command, chosen.length);
            continue;
        }
        putLiteral(out, cur[i]);
        ++i;
    }
}

template <typename Row>
void encodeRow8(Row& out, const uint8_t* cur, const uint8_t* up, const uint8_t* up2, int32_t r, int32_t width) {
    int32_t i = 0;
    while (i < width) {
        if (i + LOOK_REACH_8 <= width) {
            const int32_t n = literalPrefix8(cur + i, up + i, up2 + i);
            if (n > 0) {
                emitLiterals(out, cur + i, n);
                i += n;
                if (n == LITERAL_GROUP_8) continue;
            }
        }
        const Choice chosen = chooseCommand8(cur, up, up2, r, i, width);
        if (chosen.command >= 0) {
            i += emitCommand(out, cur, i, chosen.command, chosen.length);
            continue;
        }
        putLiteral(out, cur[i]);
        ++i;
    }
}

inline Choice chooseCommand16(const uint16_t* cur, const uint16_t* up, const uint16_t* up2, int32_t r, int32_t j,
                              int32_t width) {
    Choice choice;
    const int32_t rem = width - j;
    if (!anyCandidate16(cur + j, up + j, up2 + j)) return choice;
    bool capped = false;
    // As in the 8-bit encoder, a candidate whose first pixels cannot reach its
    // minimum is not measured.
    const uint16_t* p = cur + j;
    const uint64_t here = load<uint64_t>(p);
    const uint32_t first2 = static_cast<uint32_t>(here);
    if ((rem >= MIN_COPY_16) & (r >= 1) & (load<uint32_t>(up + j) == first2)) {
        const int32_t cap = minOf(rem, CAP_COPY_16);
        const int32_t length = keptOrZero(copyLength16(p, up + j, cap), MIN_COPY_16);
        choice.offer(CMD_COPY_UP, length);
        capped = length >= cap;
    }
    if (!capped && ((rem >= MIN_COPY_16) & (r >= 2) & (load<uint32_t>(up2 + j) == first2))) {
        const int32_t cap = minOf(rem, CAP_COPY_16);
        const int32_t length = keptOrZero(copyLength16(p, up2 + j, cap), MIN_COPY_16);
        choice.offer(CMD_COPY_UP2, length);
        capped = length >= cap;
    }
    if (!capped && ((rem >= MIN_FILL_16) & (((here ^ (here >> 16)) & 0xFFFFFFFF) == 0))) {
        const int32_t cap = minOf(rem, CAP_FILL_16);
        const int32_t length = keptOrZero(fillLength16(p, cap), MIN_FILL_16);
        choice.offer(CMD_FILL, length);
        capped = length >= cap;
    }
    if (!capped && ((rem >= MIN_PAIR_16) & (static_cast<uint32_t>(here >> 32) == first2))) {
        const int32_t cap = minOf(rem, CAP_PAIR_16);
        const int32_t length = keptOrZero(pairLength16(p, cap), MIN_PAIR_16);
        choice.offer(CMD_PAIR, length);
        capped = length >= cap;
    }
    if (!capped) {
        choice.offer(CMD_UP_LEFT, (j >= 1) & (r >= 1) & (cur[j] == up[j - 1]));
        choice.offer(CMD_UP_RIGHT, (j + 1 < width) & (r >= 1) & (cur[j] == up[j + 1]));
    }
    return choice;
}

// The pixel bytes of a packed run, a group at a time: up to PLACE_SLACK
// bytes past the run are written, which the next bytes overwrite. With SSE2
// a group is eight pixels, whose bytes are computed side by side; else four,
// through the tables.
#ifdef QVR_SSE2
constexpr int32_t PACK_GROUP = 8;
inline void packRun(uint8_t* bytes, const uint16_t* pixels, int32_t n) {
    static_assert(packedPixelByte(0x1800) == 0xC0 && packedPixelByte(0x01E0) == 0x3C && packedPixelByte(3) == 3,
                  "pixel bits 12 11 go to 7 6, bits 8..5 to 5..2, bits 1 0 stay");
    const __m128i top = _mm_set1_epi16(0xC0), middle = _mm_set1_epi16(0x3C), bottom = _mm_set1_epi16(3);
    for (int32_t k = 0; k < n; k += PACK_GROUP) {
        const __m128i p = eightPixels(pixels + k);
        const __m128i packed = _mm_or_si128(
            _mm_or_si128(_mm_and_si128(_mm_srli_epi16(p, 5), top), _mm_and_si128(_mm_srli_epi16(p, 3), middle)),
            _mm_and_si128(p, bottom));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(bytes + k), _mm_packus_epi16(packed, packed));
    }
}
#else
constexpr int32_t PACK_GROUP = 4;
inline void packRun(uint8_t* bytes, const uint16_t* pixels, int32_t n) {
    for (int32_t k = 0; k < n; k += PACK_GROUP) {
        bytes[k] = packedByteOf(pixels[k]);
        bytes[k + 1] = packedByteOf(pixels[k + 1]);
        bytes[k + 2] = packedByteOf(pixels[k + 2]);
        bytes[k + 3] = packedByteOf(pixels[k + 3]);
    }
}
#endif
constexpr int32_t PLACE_SLACK = PACK_GROUP - 1;
static_assert(PLACE_SLACK < WRITER_SPARE_SAMPLES, "a group read past a run's end stays in the ring");

// A packed run of n pixels from p when n is at least two, else one literal.
template <typename Row>
[[gnu::always_inline]] inline int32_t emitPackedRun(Row& out, const uint16_t* p, int32_t n) {
    if (n < MIN_PACKED_16) {
        putLiteral(out, p[0]);
        return 1;
    }
    out.putByte(CMD_PACKED);
    out.putByte(n - PACKED_BIAS_16);
    out.putByte(packedSharedByte(p[0]));
    if (uint8_t* bytes = out.place(n, PLACE_SLACK)) {
        packRun(bytes, p, n);
    } else {
        for (int32_t k = 0; k < n; ++k) out.putByte(packedByteOf(p[k]));
    }
    return n;
}

// A packed run when at least two pixels share their high bits, else one literal.
template <typename Row>
[[gnu::always_inline]] inline int32_t emitPackedOrLiteral16(Row& out, const uint16_t* cur, int32_t j, int32_t width) {
    return emitPackedRun(out, cur + j, packedRunLength(cur + j, minOf(width - j, CAP_PACKED_16)));
}

template <typename Row>
void encodeRow16(Row& out, const uint16_t* cur, const uint16_t* up, const uint16_t* up2, int32_t r, int32_t width) {
    int32_t j = 0;
    while (j < width) {
        // A group's look stays in the ring, and its store in the row's room, from here.
        if (j + LITERAL_GROUP_16 <= width) {
            // From the group's first position that takes no literal, its
            // other positions show the candidates, as measuring would find
            // them where the look's pixels all lie in the row.
            const bool lookInRow = j + LOOK_REACH_16 <= width;
            GroupMarks16 marks = lookGroup16(cur + j, up + j, up2 + j);
            const int32_t n = std::countr_zero(marks.candidate | marks.packed | 1u << LITERAL_GROUP_16);
            if (n > 0) {
                emitLiterals(out, cur + j, n);
                j += n;
                if (n == LITERAL_GROUP_16) continue;
                marks = marksFrom(marks, n);
            }
            if (lookInRow) {
                const int32_t shown = LITERAL_GROUP_16 - n;
                const Choice chosen = chooseInGroup(marks, {cur, up, up2, r, width}, j, shown);
                if (chosen.command >= 0) {
                    j += emitCommand(out, cur, j, chosen.command, chosen.length);
                    continue;
                }
                const int32_t run = packedRunInGroup(marks, shown);
                j += run ? emitPackedRun(out, cur + j, run) : emitPackedOrLiteral16(out, cur, j, width);
                continue;
            }
        }
        const Choice chosen = chooseCommand16(cur, up, up2, r, j, width);
        j += chosen.command >= 0 ? emitCommand(out, cur, j, chosen.command, chosen.length)
                                 : emitPackedOrLiteral16(out, cur, j, width);
    }
}

// One 8-bit plane: indices when header.bitsPerPixel is 8, alpha otherwise.
template <typename Stream>
[[gnu::noinline]] void encodePlane8(Stream& out, const CodecContext& ctx, const FileHeader& header) {
    const int32_t kind = header.bitsPerPixel == 8 ? ROW_KIND_INDEX : ROW_KIND_ALPHA;
    WriterByteRing ring;  // a row the host fails to fill keeps the ring's zeros, or the row four above
    ring.clearFor(ctx.width, WRITER_SPARE_SAMPLES);
    for (int32_t r = 0; r < ctx.height; ++r) {
        uint8_t* cur = ring.slot(r);
        out.getSlotRow(cur, kind, r, ctx.width);
        auto row = out.rowOutput(static_cast<int32_t>(MOST_BYTES_PER_SAMPLE_8) * ctx.width + PLACE_SLACK);
        if (kind == ROW_KIND_ALPHA)
            encodeAlphaRow8(row, cur, ring.slot(r - 1), ring.slot(r - 2), r, ctx.width);
        else
            encodeRow8(row, cur, ring.slot(r - 1), ring.slot(r - 2), r, ctx.width);
        out.endRow(row);
        out.progress(r + 1, ctx.height);
    }
}

template <typename Stream>
void writeHeaderTo(Stream& out, const FileHeader& header) {
    out.seek(0, SEEK_FROM_START);
    out.write(&header, HEADER_BYTES);
}

// At depth 32: point auxOffset at the end of the colour stream, rewrite the
// header there, and encode the alpha plane from that position.
template <typename Stream>
void writeAlphaPass(Stream& out, const CodecContext& ctx, FileHeader* header) {
    const int32_t position = out.seek(0, SEEK_FROM_CURRENT);
    header->auxOffset = static_cast<uint32_t>(position);
    writeHeaderTo(out, *header);
    out.seek(position, SEEK_FROM_START);
    encodePlane8(out, ctx, *header);
}

// The 16-bit colour plane. Its ring is the largest frame of the writer, so the
// alpha pass runs after it has returned, never beneath it: hosts may call a
// plug-in on a thread with little stack.
template <typename Stream>
[[gnu::noinline]] void encodePlane16(Stream& out, const CodecContext& ctx) {
    WriterPixelRing ring;
    ring.clearFor(ctx.width, WRITER_SPARE_SAMPLES);
    typename Stream::RgbStage stage;
    out.startRgb(stage);
    for (int32_t r = 0; r < ctx.height; ++r) {
        uint16_t* cur = ring.slot(r);
        out.getRgbRow(stage, cur, r, ctx.width);
        auto row = out.rowOutput(MAX_BYTES_PER_PIXEL_16 * ctx.width + PLACE_SLACK);
        encodeRow16(row, cur, ring.slot(r - 1), ring.slot(r - 2), r, ctx.width);
        out.endRow(row);
        out.progress(r + 1, ctx.height);
    }
}

// The header a writer starts with; at depth 32 auxOffset follows later.
inline FileHeader headerFor(const CodecContext& ctx) {
    const bool indexed = ctx.depth == 8;
    FileHeader header = {};
    header.magic[0] = QVR_MAGIC_0;
    header.magic[1] = QVR_MAGIC_1;
    header.version = QVR_VERSION;
    header.headerSize = HEADER_BYTES;
    header.bitsPerPixel = indexed ? 8 : 16;
    header.reserved1 = RESERVED1_VALUE;
    header.width = static_cast<uint32_t>(ctx.width);
    header.height = static_cast<uint32_t>(ctx.height);
    header.dataOffset = indexed ? INDEXED_DATA_OFFSET : HEADER_BYTES;
    header.auxOffset = indexed ? PALETTE_OFFSET : 0;
    return header;
}

// The whole file: header, palette (depth 8), streams. Nothing at all for a
// negative width or one beyond the row buffers.
template <typename Stream>
void writeImageTo(Stream& out, const CodecContext& ctx) {
    if (ctx.width < 0 || ctx.width > ROW_SLOT_SAMPLES) return;  // rows the buffers cannot hold
    FileHeader header = headerFor(ctx);
    writeHeaderTo(out, header);
    if (ctx.depth == 8) {
        out.write(ctx.palette, PALETTE_BYTES);
        encodePlane8(out, ctx, header);
    } else {
        encodePlane16(out, ctx);
        if (ctx.depth == 32) writeAlphaPass(out, ctx, &header);
    }
}

}  // namespace qvr
