// The reader's line decoders and the operations built on them, over any
// stream type: CallbackStream (the StreamProcs table, one call per byte) or a
// binding whose bytes the compiler can see, such as the memory reader in
// streams/. Internal to the codec.
//
// A stream type provides readByte() and readWord() (-1 bits for missing
// bytes), take(n, slack) (n bytes in place with slack more readable after
// them, or nullptr: then byte by byte), view() and resume() (the bytes in
// place as a BytesView, and the cursor back), read(), seek(), progress(),
// putSlotRow() for 8-bit rows with HANDS_OUT_RING_ROWS (see decodePlane8)
// and, for the colour plane, an RgbStage with startRgb() and putRgbRow(),
// which takes a row of 5-6-5 pixels and the row above it.
//
// Each command is decoded in four places: for 8- and 16-bit planes, once for
// bytes that lie in memory (commandInMemory8, commandInMemory16 with
// otherCommand16) and once byte by byte through readByte(). They stay apart
// because the memory forms read operands straight from the bytes and store
// whole groups that may run past the command's output, while the byte forms
// ask the stream for each byte and store exactly; one shared form would put
// a call or a branch per operand back on the memory path. Their bytes,
// biases and caps all come from the command table in codec/format.h.
#pragma once

#include <cstring>

#include "codec/bytes_in_place.h"
#include "codec/format.h"
#include "codec/internal/measure.h"
#include "codec/internal/pixels.h"
#include "codec/internal/ring.h"
#include "codec/reader.h"

namespace qvr {

constexpr int32_t NO_OVERRUN = -1;

// How far past a row's end the decoder reads the rows above: a copy may start
// at the last position and take CAP_COPY_8 samples, and copies read up to
// seven past their end. What lies past a row's end never reaches a delivered
// sample: a command that runs past it makes the row an overrun, and decoding
// stops; the samples a group store leaves there are copied only past the end.
constexpr int32_t COPY_REACH = CAP_COPY_8 + 7;
static_assert(COPY_REACH >= CAP_COPY_16 + 3);

using ReaderByteRing = RowRing<uint8_t, READER_SPARE_SAMPLES>;
using ReaderPixelRing = RowRing<uint16_t, READER_SPARE_SAMPLES>;

// An 8-bit operand of 255 stands for 246; a missing byte (-1) stays as is.
inline int32_t operand8(int32_t v) { return v == ESCAPED_SAMPLE_255 ? SAMPLE_FROM_255 : v; }

// A byte below the first command byte; a missing byte (-1) is not one.
constexpr bool isLiteral(int32_t c) { return static_cast<uint32_t>(c) < static_cast<uint32_t>(FIRST_COMMAND_BYTE); }

template <typename Sample>
void fillSamples(Sample* out, int32_t n, Sample v) {
    for (int32_t k = 0; k < n; ++k) out[k] = v;
}

template <typename Sample>
void repeatPair(Sample* out, int32_t n, Sample a, Sample b) {
    for (int32_t k = 0; k < n; ++k) {
        out[2 * k] = a;
        out[2 * k + 1] = b;
    }
}

// A fill of 16-bit pixels four at a time: up to three pixels past the fill
// are written, which the next commands overwrite, or clearRowTail() clears
// at the row's end.
inline void fillFours(uint16_t* out, int32_t n, uint16_t v) {
    const uint64_t four = repeated<uint16_t>(v);
    for (int32_t k = 0; k < n; k += 4) std::memcpy(out + k, &four, sizeof four);
}

// The pixels of a packed run whose bytes lie in memory, four at a time: up to
// three pixels past the run are written from bytes past it, which the next
// commands overwrite, or clearRowTail() clears at the row's end.
constexpr int32_t UNPACK_GROUP = 4;
constexpr int32_t RUN_SLACK = UNPACK_GROUP - 1;  // bytes a run may read past its end
inline void unpackRun(uint16_t* out, const uint8_t* bytes, int32_t n, uint16_t sharedBits) {
    for (int32_t k = 0; k < n; k += UNPACK_GROUP) {
        const uint16_t p0 = PACKED_LOW_BITS[bytes[k]], p1 = PACKED_LOW_BITS[bytes[k + 1]];
        const uint16_t p2 = PACKED_LOW_BITS[bytes[k + 2]], p3 = PACKED_LOW_BITS[bytes[k + 3]];
        out[k] = sharedBits | p0;
        out[k + 1] = sharedBits | p1;
        out[k + 2] = sharedBits | p2;
        out[k + 3] = sharedBits | p3;
    }
}
// Samples past a row's end read 0 (a reference one to the right of the last
// pixel, or one to the left of the first, may see them), as they did before
// unpackRun() wrote there.
inline void clearRowTail(uint16_t* row, int32_t width) { std::memset(row + width, 0, RUN_SLACK * sizeof(uint16_t)); }

// The literals of an 8-bit plane, up to a group of eight at a time: copies
// the eight bytes at `bytes` to `out` and returns how many of them come before
// the first command byte. The samples past that are overwritten by what
// follows in the row.
constexpr int32_t LITERAL_RUN_GROUP = 8;
inline int32_t copyLiterals(uint8_t* out, const uint8_t* bytes) {
    const uint64_t word = load<uint64_t>(bytes);
    std::memcpy(out, &word, sizeof word);
    return firstLane(commandBytes(word));
}

// Fills and copies of 8-bit samples eight at a time: up to seven samples
// past the end are written, which the next commands overwrite; past the
// row's end they are never read for a delivered row. Copies read as far past
// their end, from rows in other slots of the ring.
constexpr int32_t SAMPLE_GROUP_8 = 8;
inline void fillEights(uint8_t* out, int32_t n, uint8_t v) {
    const uint64_t eight = repeated<uint8_t>(v);
    for (int32_t k = 0; k < n; k += SAMPLE_GROUP_8) std::memcpy(out + k, &eight, sizeof eight);
}
inline void copyEights(uint8_t* out, const uint8_t* from, int32_t n) {
    for (int32_t k = 0; k < n; k += SAMPLE_GROUP_8) std::memcpy(out + k, from + k, SAMPLE_GROUP_8);
}

// One command of an 8-bit plane whose bytes lie in memory: `b` holds at
// least LONGEST_COMMAND_8 of them. Returns the samples decoded.
constexpr int32_t LONGEST_COMMAND_8 = 4;  // a pair: command, count, two samples
template <typename Stream>
int32_t commandInMemory8(Stream& in, const uint8_t* b, uint8_t* out, const uint8_t* above, const uint8_t* above2) {
    const int32_t c = b[0];
    switch (c) {
    case CMD_ESCAPE:
        in.take(2, 0);
        out[0] = static_cast<uint8_t>(operand8(b[1]));
        return 1;
    case CMD_PAIR: {
        in.take(4, 0);
        const int32_t n = b[1] + PAIR_BIAS_8;
        repeatPair(out, n, static_cast<uint8_t>(operand8(b[2])), static_cast<uint8_t>(operand8(b[3])));
        return 2 * n;
    }
    case CMD_FILL: {
        in.take(3, 0);
        const int32_t n = b[1] + FILL_BIAS_8;
        fillEights(out, n, static_cast<uint8_t>(operand8(b[2])));
        return n;
    }
    case CMD_COPY_UP2:
    case CMD_COPY_UP: {
        in.take(2, 0);
        const int32_t n = b[1] + COPY_BIAS_8;
        copyEights(out, c == CMD_COPY_UP ? above : above2, n);
        return n;
    }
    default:  // a literal: below the first command byte, or 0xF9..0xFB
        in.take(1, 0);
        out[0] = static_cast<uint8_t>(c);
        return 1;
    }
}

// The commands of an 8-bit row from position i whose bytes lie in `bytes`
// (a view the compiler keeps in registers), up to the row's end or the first
// command that may reach past them. Returns the position reached.
inline int32_t decodeInPlace8(BytesView& bytes, uint8_t* cur, const uint8_t* up, const uint8_t* up2, int32_t i,
                              int32_t width) {
    while (i < width) {
        if (i + LITERAL_RUN_GROUP <= width) {
            if (const uint8_t* ahead = bytes.take(0, LITERAL_RUN_GROUP)) {  // a look, nothing taken
                const int32_t n = copyLiterals(cur + i, ahead);
                bytes.take(n, LITERAL_RUN_GROUP - n);
                i += n;
                if (n == LITERAL_RUN_GROUP) continue;
            }
        }
        const uint8_t* b = bytes.take(0, LONGEST_COMMAND_8);  // a look, nothing taken
        if (!b) break;
        i += commandInMemory8(bytes, b, cur + i, up + i, up2 + i);
    }
    return i;
}

// Decodes one row of an 8-bit plane from the current position into `cur`,
// with the two rows above it in `up` and `up2`. Returns the samples decoded:
// the width, or more when the row's last command ran past it.
template <typename Stream>
int32_t decodeRow8(Stream& in, uint8_t* cur, const uint8_t* up, const uint8_t* up2, int32_t width) {
    int32_t i = 0;
    for (;;) {
        BytesView inPlace = in.view();
        i = decodeInPlace8(inPlace, cur, up, up2, i, width);
        in.resume(inPlace);
        if (i >= width) break;
        // One command byte by byte: from a stream without bytes in place, or
        // near their end.
        const int32_t c = in.readByte();
        if (isLiteral(c)) {  // the usual literal
            cur[i++] = static_cast<uint8_t>(c);
            continue;
        }
        switch (c) {
        case CMD_ESCAPE: cur[i++] = static_cast<uint8_t>(operand8(in.readByte())); break;
        case CMD_PAIR: {
            const int32_t n = in.readByte() + PAIR_BIAS_8;
            const uint8_t a = static_cast<uint8_t>(operand8(in.readByte()));
            const uint8_t b = static_cast<uint8_t>(operand8(in.readByte()));
            repeatPair(cur + i, n, a, b);
            i += 2 * n;
            break;
        }
        case CMD_FILL: {
            const int32_t n = in.readByte() + FILL_BIAS_8;
            fillSamples(cur + i, n, static_cast<uint8_t>(operand8(in.readByte())));
            i += n;
            break;
        }
        case CMD_COPY_UP2:
        case CMD_COPY_UP: {
            const int32_t n = in.readByte() + COPY_BIAS_8;
            std::memmove(cur + i, (c == CMD_COPY_UP ? up : up2) + i, static_cast<size_t>(n));
            i += n;
            break;
        }
        default:  // literals 0xF9..0xFB, and a missing byte (-1 gives 0xFF)
            cur[i++] = static_cast<uint8_t>(c);
            break;
        }
    }
    return i;
}

// The ring of an 8-bit plane, cleared for a stream that does or does not
// hand out its ring rows. Stray back references read 0. A stream that hands
// out its ring rows gets the ring cleared whole: past a row, zeros, never
// stale stack.
template <bool HandsOutRingRows>
void clearByteRing(ReaderByteRing& ring, int32_t width) {
    if constexpr (HandsOutRingRows)
        std::memset(&ring, 0, sizeof ring);
    else
        ring.clearFor(width, COPY_REACH);
}

// Decodes one 8-bit plane from the current position. Returns the row that ran
// past the width, or NO_OVERRUN. Rows never leave the ring: the spare samples
// take the largest command that starts at the last position of the last slot.
template <typename Stream>
int32_t decodePlane8(Stream& in, const FileHeader& header) {
    const int32_t kind = header.bitsPerPixel == 8 ? ROW_KIND_INDEX : ROW_KIND_ALPHA;
    const int32_t width = static_cast<int32_t>(header.width);
    const int32_t height = static_cast<int32_t>(header.height);
    static_assert(sizeof(ReaderByteRing) < 40000);
    ReaderByteRing ring;
    clearByteRing<Stream::HANDS_OUT_RING_ROWS>(ring, width);

    for (int32_t r = 0; r < height; ++r) {
        uint8_t* cur = ring.slot(r);
        if (decodeRow8(in, cur, ring.slot(r - 1), ring.slot(r - 2), width) > width) return r;
        in.putSlotRow(cur, kind, r, width);
        in.progress(r + 1, height);
    }
    return NO_OVERRUN;
}

// A copy from a row above four pixels at a time: up to three pixels past the
// copy are written, as by fillFours(). The rows never overlap: they lie in
// other slots of the ring.
inline void copyFours(uint16_t* out, const uint16_t* from, int32_t n) {
    for (int32_t k = 0; k < n; k += 4) std::memcpy(out + k, from + k, 4 * sizeof(uint16_t));
}

// The other commands, when their bytes lie in memory: `b` holds at least
// USUAL_LOOK of them. Returns the pixels decoded.
template <typename Stream>
int32_t otherCommand16(Stream& in, const uint8_t* b, uint16_t* out, const uint16_t* above, const uint16_t* above2) {
    const int32_t c = b[0];
    switch (c) {
    case CMD_ESCAPE:
        in.take(3, 0);
        out[0] = static_cast<uint16_t>(b[1] | b[2] << 8);
        return 1;
    case CMD_PAIR: {
        in.take(6, 0);
        const int32_t n = b[1] + PAIR_BIAS_16;
        repeatPair(out, n, static_cast<uint16_t>(b[2] | b[3] << 8), static_cast<uint16_t>(b[4] | b[5] << 8));
        return 2 * n;
    }
    case CMD_FILL: {
        in.take(4, 0);
        const int32_t n = b[1] + FILL_BIAS_16;
        fillFours(out, n, static_cast<uint16_t>(b[2] | b[3] << 8));
        return n;
    }
    default: {  // CMD_COPY_UP, CMD_COPY_UP2
        in.take(2, 0);
        const int32_t n = b[1] + COPY_BIAS_16;
        copyFours(out, c == CMD_COPY_UP ? above : above2, n);
        return n;
    }
    }
}

// One command whose bytes lie in memory. The usual commands of a
// photograph, a literal, a packed run and a pixel from above to the left or
// right, are decoded without a branch between them: the first four pixels
// are written as a packed run's, and the first of them replaced by the
// literal or the pixel above when the command is one of those (the others are
// overwritten by what follows, or cleared at the row's end). Returns the
// pixels decoded, or 0 when fewer than USUAL_LOOK bytes remain, or a packed
// run's bytes are not all there; nothing is taken then.
constexpr int32_t USUAL_LOOK = 3 + UNPACK_GROUP;  // a packed run's header and first group
static_assert(PACKED_BIAS_16 == 1);
static_assert(CMD_UP_RIGHT + 1 == CMD_UP_LEFT && (CMD_UP_RIGHT & 1) == 0, "the low bit picks the side");
static_assert(CMD_ESCAPE == 0xF8 && CMD_PACKED == 0xF9 && CMD_PAIR == 0xFC, "the commands the usual path leaves");
template <typename Stream>
[[gnu::always_inline]] inline int32_t commandInMemory16(Stream& in, uint16_t* out, const uint16_t* above,
                                                        const uint16_t* above2) {
    const uint8_t* b = in.take(0, USUAL_LOOK);  // a look, nothing taken
    if (!b) return 0;
    const int32_t c = b[0];
    if (c == CMD_ESCAPE || c >= CMD_PAIR) return otherCommand16(in, b, out, above, above2);
    // Masks from comparisons rather than conditions or a table, so that the
    // compiler does not branch on them and the next command's position is
    // known a few cycles after this one's byte.
    const int32_t packed = -static_cast<int32_t>(c == CMD_PACKED);
    const int32_t neighbour = -static_cast<int32_t>((c | 1) == CMD_UP_LEFT);
    const int32_t count = 1 + (b[1] & packed);  // one pixel but for a packed run; PACKED_BIAS_16 is 1
    if (!in.take(2 + ((1 + count) & packed) + neighbour, RUN_SLACK)) return 0;  // 2, 3 + count, or 1 byte
    const uint16_t sharedBits = PACKED_SHARED_BITS[b[2]];
    const uint8_t* bytes = b + 3;
    const auto literal = static_cast<uint16_t>(c | b[1] << 8);
    const auto first = static_cast<uint16_t>(sharedBits | PACKED_LOW_BITS[bytes[0]]);
    // Above to the right for CMD_UP_RIGHT, to the left for CMD_UP_LEFT; for
    // the other kinds a look inside the ring that is not used.
    const uint16_t nearby = above[1 - 2 * (c & 1)];
    const auto keepFirst = static_cast<uint16_t>(packed), keepNearby = static_cast<uint16_t>(neighbour);
    out[0] = static_cast<uint16_t>((first & keepFirst) | (nearby & keepNearby) |
                                   (literal & static_cast<uint16_t>(~(keepFirst | keepNearby))));
    out[1] = sharedBits | PACKED_LOW_BITS[bytes[1]];
    out[2] = sharedBits | PACKED_LOW_BITS[bytes[2]];
    out[3] = sharedBits | PACKED_LOW_BITS[bytes[3]];
    if (count > UNPACK_GROUP) unpackRun(out + UNPACK_GROUP, bytes + UNPACK_GROUP, count - UNPACK_GROUP, sharedBits);
    return count;
}

// Decodes one row of the 16-bit colour plane from the current position into
// `cur`, as decodeRow8(). The caller clears the row's tail (clearRowTail)
// once the row is whole, before the next row looks at it.
template <typename Stream>
int32_t decodeRow16(Stream& in, uint16_t* cur, const uint16_t* up, const uint16_t* up2, int32_t width) {
    int32_t i = 0;
    while (i < width) {
        if (const int32_t n = commandInMemory16(in, cur + i, up + i, up2 + i)) {
            i += n;
            continue;
        }
        const int32_t c = in.readByte();
        if (isLiteral(c)) {  // a literal: low byte c, then the high byte
            cur[i++] = static_cast<uint16_t>(c | (in.readByte() & 0xFF) << 8);
            continue;
        }
        if (c == CMD_PACKED) {  // the usual command of a photograph
            const int32_t n = in.readByte() + PACKED_BIAS_16;
            const uint16_t sharedBits = packedPixel(in.readByte(), 0);
            if (const uint8_t* bytes = in.take(n, RUN_SLACK)) {
                unpackRun(cur + i, bytes, n, sharedBits);
            } else {
                for (int32_t k = 0; k < n; ++k) cur[i + k] = sharedBits | packedPixel(0, in.readByte());
            }
            i += n;
            continue;
        }
        switch (c) {
        case CMD_ESCAPE: cur[i++] = static_cast<uint16_t>(in.readWord()); break;
        case CMD_UP_RIGHT:
            cur[i] = up[i + 1];
            ++i;
            break;
        case CMD_UP_LEFT:  // at position 0 this reads a cleared sample, never outside the ring
            cur[i] = up[i - 1];
            ++i;
            break;
        case CMD_PAIR: {
            const int32_t n = in.readByte() + PAIR_BIAS_16;
            const uint16_t a = static_cast<uint16_t>(in.readWord());
            const uint16_t b = static_cast<uint16_t>(in.readWord());
            repeatPair(cur + i, n, a, b);
            i += 2 * n;
            break;
        }
        case CMD_FILL: {
            const int32_t n = in.readByte() + FILL_BIAS_16;
            fillFours(cur + i, n, static_cast<uint16_t>(in.readWord()));
            i += n;
            break;
        }
        case CMD_COPY_UP2:
        case CMD_COPY_UP: {
            const int32_t n = in.readByte() + COPY_BIAS_16;
            std::memmove(cur + i, (c == CMD_COPY_UP ? up : up2) + i, static_cast<size_t>(n) * sizeof(uint16_t));
            i += n;
            break;
        }
        default: {  // every byte from 0xF8 up is a command here: only a missing byte (-1), giving 0xFFFF
            const int32_t high = in.readByte();
            cur[i++] = c < 0 ? uint16_t{0xFFFF} : static_cast<uint16_t>(c | (high & 0xFF) << 8);
            break;
        }
        }
    }
    return i;
}

// Decodes the 16-bit colour plane from the current position; returns the row
// that ran past the width, or NO_OVERRUN.
template <typename Stream>
int32_t decodePlane16(Stream& in, const FileHeader& header) {
    const int32_t width = static_cast<int32_t>(header.width);
    const int32_t height = static_cast<int32_t>(header.height);
    ReaderPixelRing ring;
    ring.clearFor(width, COPY_REACH);
    typename Stream::RgbStage stage;
    in.startRgb(stage);

    for (int32_t r = 0; r < height; ++r) {
        uint16_t* cur = ring.slot(r);
        const uint16_t* up = ring.slot(r - 1);
        if (decodeRow16(in, cur, up, ring.slot(r - 2), width) > width) return r;
        clearRowTail(cur, width);
        in.putRgbRow(stage, cur, up, r, width);
        in.progress(r + 1, height);
    }
    return NO_OVERRUN;
}

// The header at offset 0: true when it passes every test. A short read fails
// the tests on zeros.
template <typename Stream>
bool readHeaderFrom(Stream& in, FileHeader* header) {
    std::memset(header, 0, sizeof *header);
    in.seek(0, SEEK_FROM_START);
    in.read(header, HEADER_BYTES);
    return headerValid(*header);
}

template <typename Stream>
bool readInfoFrom(Stream& in, CodecContext* ctx, FileHeader* header) {
    if (!readHeaderFrom(in, header)) return false;
    ctx->width = static_cast<int32_t>(header->width);
    ctx->height = static_cast<int32_t>(header->height);
    ctx->depth = depthOfHeader(*header);
    if (ctx->depth == 8) {
        std::memset(ctx->palette, 0, sizeof ctx->palette);
        in.seek(static_cast<int32_t>(header->auxOffset), SEEK_FROM_START);
        in.read(ctx->palette, PALETTE_BYTES);
        forcePaletteWhite(ctx->palette);
    }
    return true;
}

// The alpha plane of a 16 bpp file, when it has one.
template <typename Stream>
int32_t decodeAlphaPlane(Stream& in, const FileHeader& header) {
    if (header.auxOffset == 0) return NO_OVERRUN;
    in.seek(static_cast<int32_t>(header.auxOffset), SEEK_FROM_START);
    return decodePlane8(in, header);
}

template <typename Stream>
DecodeReport decodeImageFrom(Stream& in, CodecContext* ctx) {
    FileHeader header;
    if (!readInfoFrom(in, ctx, &header)) return {DecodeOutcome::BadHeader, NO_OVERRUN};
    in.seek(static_cast<int32_t>(header.dataOffset), SEEK_FROM_START);
    if (header.bitsPerPixel == 8) {
        const int32_t row = decodePlane8(in, header);
        return {row == NO_OVERRUN ? DecodeOutcome::Complete : DecodeOutcome::FirstPlaneOverrun, row};
    }
    int32_t row = decodePlane16(in, header);
    if (row != NO_OVERRUN) return {DecodeOutcome::FirstPlaneOverrun, row};
    row = decodeAlphaPlane(in, header);
    return {row == NO_OVERRUN ? DecodeOutcome::Complete : DecodeOutcome::AlphaOverrun, row};
}

}  // namespace qvr
