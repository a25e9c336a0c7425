#include "codec/reader.h"

#include <cstring>

namespace qvr {
namespace {

constexpr int32_t NO_OVERRUN = -1;

using ByteRing = RowRing<uint8_t, READER_SPARE_SAMPLES>;
using PixelRing = RowRing<uint16_t, READER_SPARE_SAMPLES>;

// An 8-bit operand of 255 stands for 246; a missing byte (-1) stays as is.
inline int32_t operand8(int32_t v) { return v == ESCAPED_SAMPLE_255 ? SAMPLE_FROM_255 : v; }

inline void fill8(uint8_t* out, int32_t n, int32_t v) {
    std::memset(out, static_cast<uint8_t>(v), static_cast<size_t>(n));
}

inline void fill16(uint16_t* out, int32_t n, uint16_t v) {
    for (int32_t k = 0; k < n; ++k) out[k] = v;
}

// Keeps the widened row above in a buffer of its own and widens only the
// groups of four pixels that differ from it: flat and repeating images then
// skip most of the widening. Row 0 is widened whole.
constexpr int32_t WIDEN_GROUP = 4;
void widenChangedPixels(uint8_t* widened, const uint16_t* cur, const uint16_t* up, int32_t row,
                        int32_t width) {
    if (row == 0) {
        rgbFrom565(widened, cur, width);
        return;
    }
    int32_t k = 0;
    for (; k + WIDEN_GROUP <= width; k += WIDEN_GROUP)
        if (std::memcmp(cur + k, up + k, WIDEN_GROUP * sizeof(uint16_t)) != 0)
            rgbFrom565(widened + 3 * k, cur + k, WIDEN_GROUP);
    rgbFrom565(widened + 3 * k, cur + k, width - k);
}

// Decodes one 8-bit plane from the current position. Returns the row that ran
// past the width, or NO_OVERRUN. Rows never leave the ring: the spare samples
// take the largest command that starts at the last position of the last slot.
int32_t decodePlane8(CodecContext* ctx, const FileHeader& header) {
    const int32_t kind = header.bitsPerPixel == 8 ? ROW_KIND_INDEX : ROW_KIND_ALPHA;
    const int32_t width = static_cast<int32_t>(header.width);
    const int32_t height = static_cast<int32_t>(header.height);
    static_assert(sizeof(ByteRing) < 40000);
    const StreamProcs procs = ctx->procs;
    ByteRing ring;
    std::memset(&ring, 0, sizeof ring);  // stray back references read 0

    for (int32_t r = 0; r < height; ++r) {
        uint8_t* cur = ring.slot(r);
        const uint8_t* up = ring.slot(r - 1);
        const uint8_t* up2 = ring.slot(r - 2);
        int32_t i = 0;
        while (i < width) {
            const int32_t c = readByte(procs);
            switch (c) {
            case CMD_ESCAPE:
                cur[i++] = static_cast<uint8_t>(operand8(readByte(procs)));
                break;
            case CMD_PAIR: {
                const int32_t n = readByte(procs) + PAIR_BIAS_8;
                const uint8_t a = static_cast<uint8_t>(operand8(readByte(procs)));
                const uint8_t b = static_cast<uint8_t>(operand8(readByte(procs)));
                for (int32_t k = 0; k < n; ++k) {
                    cur[i + 2 * k] = a;
                    cur[i + 2 * k + 1] = b;
                }
                i += 2 * n;
                break;
            }
            case CMD_FILL: {
                const int32_t n = readByte(procs) + FILL_BIAS_8;
                fill8(cur + i, n, operand8(readByte(procs)));
                i += n;
                break;
            }
            case CMD_COPY_UP2:
            case CMD_COPY_UP: {
                const int32_t n = readByte(procs) + COPY_BIAS_8;
                std::memmove(cur + i, (c == CMD_COPY_UP ? up : up2) + i, static_cast<size_t>(n));
                i += n;
                break;
            }
            default:  // literals, including 0xF9..0xFB and a missing byte (-1 gives 0xFF)
                cur[i++] = static_cast<uint8_t>(c);
                break;
            }
        }
        if (i > width) return r;
        procs.putRows(procs.userData, cur, ROW_SLOT_SAMPLES, kind, 0, r, width, 1);
        procs.progress(procs.userData, r + 1, height);
    }
    return NO_OVERRUN;
}

// Decodes the 16-bit colour plane from the current position; returns the row
// that ran past the width, or NO_OVERRUN.
int32_t decodePlane16(CodecContext* ctx, const FileHeader& header) {
    const int32_t width = static_cast<int32_t>(header.width);
    const int32_t height = static_cast<int32_t>(header.height);
    const StreamProcs procs = ctx->procs;
    PixelRing ring;
    std::memset(&ring, 0, sizeof ring);
    uint8_t rgbRow[RGB_ROW_BYTES];    // handed to the host
    uint8_t widened[RGB_ROW_BYTES];   // the same pixels, never handed out

    for (int32_t r = 0; r < height; ++r) {
        uint16_t* cur = ring.slot(r);
        const uint16_t* up = ring.slot(r - 1);
        const uint16_t* up2 = ring.slot(r - 2);
        int32_t i = 0;
        while (i < width) {
            const int32_t c = readByte(procs);
            switch (c) {
            case CMD_ESCAPE:
                cur[i++] = static_cast<uint16_t>(readWord(procs));
                break;
            case CMD_PACKED: {
                const int32_t n = readByte(procs) + PACKED_BIAS_16;
                const int32_t shared = readByte(procs);
                for (int32_t k = 0; k < n; ++k) cur[i + k] = packedPixel(shared, readByte(procs));
                i += n;
                break;
            }
            case CMD_UP_RIGHT:
                cur[i] = up[i + 1];
                ++i;
                break;
            case CMD_UP_LEFT:  // at position 0 this reads a cleared sample, never outside the ring
                cur[i] = up[i - 1];
                ++i;
                break;
            case CMD_PAIR: {
                const int32_t n = readByte(procs) + PAIR_BIAS_16;
                const uint16_t a = static_cast<uint16_t>(readWord(procs));
                const uint16_t b = static_cast<uint16_t>(readWord(procs));
                for (int32_t k = 0; k < n; ++k) {
                    cur[i + 2 * k] = a;
                    cur[i + 2 * k + 1] = b;
                }
                i += 2 * n;
                break;
            }
            case CMD_FILL: {
                const int32_t n = readByte(procs) + FILL_BIAS_16;
                fill16(cur + i, n, static_cast<uint16_t>(readWord(procs)));
                i += n;
                break;
            }
            case CMD_COPY_UP2:
            case CMD_COPY_UP: {
                const int32_t n = readByte(procs) + COPY_BIAS_16;
                std::memmove(cur + i, (c == CMD_COPY_UP ? up : up2) + i,
                             static_cast<size_t>(n) * sizeof(uint16_t));
                i += n;
                break;
            }
            default: {  // a literal: low byte c, then the high byte; a missing command gives 0xFFFF
                const int32_t high = readByte(procs);
                cur[i++] = c < 0 ? uint16_t{0xFFFF} : static_cast<uint16_t>(c | (high & 0xFF) << 8);
                break;
            }
            }
        }
        if (i > width) return r;
        widenChangedPixels(widened, cur, up, r, width);
        std::memcpy(rgbRow, widened, 3 * static_cast<size_t>(width));
        procs.putRows(procs.userData, rgbRow, RGB_ROW_BYTES, ROW_KIND_RGB, 0, r, width, 1);
        procs.progress(procs.userData, r + 1, height);
    }
    return NO_OVERRUN;
}

// The alpha plane of a 16 bpp file, when it has one.
int32_t decodeAlphaPlane(CodecContext* ctx, const FileHeader& header) {
    if (header.auxOffset == 0) return NO_OVERRUN;
    ctx->procs.seek(ctx->procs.userData, static_cast<int32_t>(header.auxOffset), SEEK_FROM_START);
    return decodePlane8(ctx, header);
}

}  // namespace

bool readHeader(CodecContext* ctx, FileHeader* header) {
    std::memset(header, 0, sizeof *header);  // a short read then fails the tests on zeros
    ctx->procs.seek(ctx->procs.userData, 0, SEEK_FROM_START);
    ctx->procs.read(ctx->procs.userData, header, HEADER_BYTES);
    return header->magic[0] == QVR_MAGIC_0 && header->magic[1] == QVR_MAGIC_1 &&
           header->version == QVR_VERSION && header->headerSize == HEADER_BYTES &&
           (header->bitsPerPixel == 8 || header->bitsPerPixel == 16) &&
           header->width < static_cast<uint32_t>(MAX_READABLE_SIDE) + 1 &&
           header->width >= static_cast<uint32_t>(MIN_READABLE_WIDTH) &&
           header->height < static_cast<uint32_t>(MAX_READABLE_SIDE) + 1 &&
           header->height >= static_cast<uint32_t>(MIN_READABLE_HEIGHT) &&
           header->dataOffset >= static_cast<uint32_t>(HEADER_BYTES);
}

bool identify(CodecContext* ctx) {
    FileHeader header;
    return readHeader(ctx, &header);
}

bool readInfo(CodecContext* ctx, FileHeader* header) {
    if (!readHeader(ctx, header)) return false;
    ctx->width = static_cast<int32_t>(header->width);
    ctx->height = static_cast<int32_t>(header->height);
    if (header->bitsPerPixel == 8) {
        ctx->depth = 8;
        std::memset(ctx->palette, 0, sizeof ctx->palette);
        ctx->procs.seek(ctx->procs.userData, static_cast<int32_t>(header->auxOffset), SEEK_FROM_START);
        ctx->procs.read(ctx->procs.userData, ctx->palette, PALETTE_BYTES);
        std::memset(ctx->palette + 3 * WHITE_PALETTE_ENTRY, 255, 3);
    } else {
        ctx->depth = header->auxOffset != 0 ? 32 : 24;
    }
    return true;
}

bool decode8(CodecContext* ctx, const FileHeader& header) {
    return decodePlane8(ctx, header) == NO_OVERRUN;
}

bool decode16(CodecContext* ctx, const FileHeader& header) {
    if (decodePlane16(ctx, header) != NO_OVERRUN) return false;
    decodeAlphaPlane(ctx, header);  // its overrun ends only the alpha plane
    return true;
}

DecodeReport decodeImage(CodecContext* ctx) {
    FileHeader header;
    if (!readInfo(ctx, &header)) return {DecodeOutcome::BadHeader, NO_OVERRUN};
    ctx->procs.seek(ctx->procs.userData, static_cast<int32_t>(header.dataOffset), SEEK_FROM_START);
    if (header.bitsPerPixel == 8) {
        const int32_t row = decodePlane8(ctx, header);
        return {row == NO_OVERRUN ? DecodeOutcome::Complete : DecodeOutcome::FirstPlaneOverrun, row};
    }
    int32_t row = decodePlane16(ctx, header);
    if (row != NO_OVERRUN) return {DecodeOutcome::FirstPlaneOverrun, row};
    row = decodeAlphaPlane(ctx, header);
    return {row == NO_OVERRUN ? DecodeOutcome::Complete : DecodeOutcome::AlphaOverrun, row};
}

bool decode(CodecContext* ctx) {
    const DecodeOutcome outcome = decodeImage(ctx).outcome;
    return outcome == DecodeOutcome::Complete || outcome == DecodeOutcome::AlphaOverrun;
}

}  // namespace qvr
