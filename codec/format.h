// The QVR file layout: the 48-byte header, the command bytes of the line
// streams, the 5-6-5 pixel and its conversions. Every multi-byte value in a
// file is little-endian.
//
//   8 bpp:  header | palette (768 bytes at auxOffset, 48) | 8-bit stream at dataOffset (816)
//   16 bpp: header | 16-bit colour stream at dataOffset (48) | [8-bit alpha stream at auxOffset]
//
// A plane is height rows of width samples, top row first, as one stream of
// commands with no separators. Each command yields samples from the current
// position; a row ends when the position reaches width exactly.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace qvr {

static_assert(std::endian::native == std::endian::little,
              "the header is read and written in place, which needs a little-endian machine");

struct FileHeader {
    uint8_t magic[2];       // "QV"
    uint16_t version;       // 1
    uint16_t headerSize;    // 48
    uint16_t bitsPerPixel;  // 8 or 16
    uint16_t reserved0;     // written 0
    uint16_t reserved1;     // written 0xFFFF
    uint32_t reserved2[3];  // written 0
    uint32_t width;
    uint32_t height;
    uint32_t dataOffset;    // where the first stream starts
    uint32_t auxOffset;     // 8 bpp: the palette; 16 bpp: the alpha stream, or 0 for none
    uint32_t reserved3[2];  // written 0
};
static_assert(sizeof(FileHeader) == 48);
static_assert(offsetof(FileHeader, width) == 24 && offsetof(FileHeader, auxOffset) == 36);

constexpr uint8_t QVR_MAGIC_0 = 0x51;  // 'Q'
constexpr uint8_t QVR_MAGIC_1 = 0x56;  // 'V'
constexpr uint16_t QVR_VERSION = 1;
constexpr int32_t HEADER_BYTES = 48;
constexpr int32_t PALETTE_BYTES = 768;
constexpr int32_t PALETTE_OFFSET = HEADER_BYTES;
constexpr int32_t INDEXED_DATA_OFFSET = HEADER_BYTES + PALETTE_BYTES;  // 816
constexpr int32_t WHITE_PALETTE_ENTRY = 246;  // forced white; 255 in 8-bit operands reads as this

// Largest size a reader accepts: widths 2..8191, heights 1..8191.
constexpr int32_t MIN_READABLE_WIDTH = 2;
constexpr int32_t MIN_READABLE_HEIGHT = 1;
constexpr int32_t MAX_READABLE_SIDE = 8191;

// True when a file of this size could be read back. The writer writes only
// widths up to its row buffers (8192), so callers check this before writing.
constexpr bool imageSizeReadable(int64_t width, int64_t height) {
    return width >= MIN_READABLE_WIDTH && width <= MAX_READABLE_SIDE && height >= MIN_READABLE_HEIGHT &&
           height <= MAX_READABLE_SIDE;
}

// True when a header passes every test a reader makes; the reserved fields
// are never looked at.
constexpr bool headerValid(const FileHeader& header) {
    return header.magic[0] == QVR_MAGIC_0 && header.magic[1] == QVR_MAGIC_1 && header.version == QVR_VERSION &&
           header.headerSize == HEADER_BYTES && (header.bitsPerPixel == 8 || header.bitsPerPixel == 16) &&
           imageSizeReadable(header.width, header.height) && header.dataOffset >= static_cast<uint32_t>(HEADER_BYTES);
}

// The depth of the image a valid header describes: 8 indexed, 24 RGB, 32 RGB
// with an alpha plane.
constexpr int32_t depthOfHeader(const FileHeader& header) {
    if (header.bitsPerPixel == 8) return 8;
    return header.auxOffset != 0 ? 32 : 24;
}

// 5-6-5 pixels: red in bits 15..11, green 10..5, blue 4..0. Red, green and
// blue travel in the low three bytes of a word, as they lie in memory.
// Widening repeats each component's top bits below it, so 0 and full scale
// stay exact.
constexpr uint32_t widenedRgb(uint32_t pixel) {
    const uint32_t r5 = pixel >> 11, g6 = (pixel >> 5) & 63, b5 = pixel & 31;
    return ((r5 << 3) | (r5 >> 2)) | ((g6 << 2) | (g6 >> 4)) << 8 | ((b5 << 3) | (b5 >> 2)) << 16;
}
// Narrowing drops the low bits of each component without rounding; the byte
// above the three is ignored.
constexpr uint16_t narrowed(uint32_t rgb) {
    return static_cast<uint16_t>(((rgb & 0xF8) << 8) | ((rgb & 0xFC00) >> 5) | ((rgb >> 19) & 0x1F));
}

// An 8-bit operand of 255 (a palette index or alpha sample) decodes as the
// white palette entry, 246.
constexpr int32_t ESCAPED_SAMPLE_255 = 255;
constexpr int32_t SAMPLE_FROM_255 = WHITE_PALETTE_ENTRY;

// What a file gives back of what was written. Palette indices and alpha
// samples exactly, except 255, which reads back as 246; the palette exactly,
// except entry 246, which reads back white; colour narrowed to 5-6-5 and
// widened again.
constexpr uint8_t keptSample(uint8_t v) { return v == ESCAPED_SAMPLE_255 ? uint8_t{SAMPLE_FROM_255} : v; }
constexpr uint8_t keptRedOrBlue(uint8_t v) { return static_cast<uint8_t>(widenedRgb(narrowed(v))); }
constexpr uint8_t keptGreen(uint8_t v) { return static_cast<uint8_t>(widenedRgb(narrowed(uint32_t{v} << 8)) >> 8); }
void forcePaletteWhite(uint8_t* palette);  // entry 246 becomes white

// A palette of 256 red, green, blue triples to and from three colour tables
// of 256 entries each, as hosts keep them.
void paletteFromTables(uint8_t* palette, const uint8_t* red, const uint8_t* green, const uint8_t* blue);
void paletteToTables(const uint8_t* palette, uint8_t* red, uint8_t* green, uint8_t* blue);

// A 16-bit value from its two bytes, low byte first. A missing byte counts
// as -1 and is combined as a 32-bit value, so callers that keep the low 16
// bits see 0xFFFF, or 0xFF00 plus the first byte when only the second is
// missing.
constexpr int32_t combineWord(int32_t first, int32_t second) {
    return static_cast<int32_t>(static_cast<uint32_t>(second & 0xFFFF) << 8) | first;
}

// Command bytes. 0x00..0xF7 are literals in both kinds of stream; 0xF9..0xFB
// are literals in 8-bit streams too.
constexpr int32_t CMD_ESCAPE = 0xF8;                // one sample / pixel follows verbatim
constexpr int32_t CMD_PACKED = 0xF9;                // 16-bit: c, shared byte, c + 1 pixel bytes
constexpr int32_t CMD_UP_RIGHT = 0xFA;              // 16-bit: pixel above, one to the right
constexpr int32_t CMD_UP_LEFT = 0xFB;               // 16-bit: pixel above, one to the left
constexpr int32_t CMD_PAIR = 0xFC;                  // c, a, b: a b repeated
constexpr int32_t CMD_FILL = 0xFD;                  // c, v: v repeated
constexpr int32_t CMD_COPY_UP2 = 0xFE;              // c: copy from two rows above
constexpr int32_t CMD_COPY_UP = 0xFF;               // c: copy from the row above
constexpr int32_t FIRST_COMMAND_BYTE = CMD_ESCAPE;  // literals stay below it

// Count biases: a count byte c means c + bias samples (8-bit) or pixels (16-bit).
constexpr int32_t PAIR_BIAS_8 = 3, FILL_BIAS_8 = 4, COPY_BIAS_8 = 3;
constexpr int32_t PACKED_BIAS_16 = 1, PAIR_BIAS_16 = 2, FILL_BIAS_16 = 3, COPY_BIAS_16 = 2;

// The most samples or pixels one command yields: its largest count byte plus
// the bias, twice that for a pair.
constexpr int32_t LARGEST_COUNT_BYTE = 255;
constexpr int32_t CAP_COPY_8 = LARGEST_COUNT_BYTE + COPY_BIAS_8;          // 258
constexpr int32_t CAP_FILL_8 = LARGEST_COUNT_BYTE + FILL_BIAS_8;          // 259
constexpr int32_t CAP_PAIR_8 = 2 * (LARGEST_COUNT_BYTE + PAIR_BIAS_8);    // 516
constexpr int32_t CAP_COPY_16 = LARGEST_COUNT_BYTE + COPY_BIAS_16;        // 257
constexpr int32_t CAP_FILL_16 = LARGEST_COUNT_BYTE + FILL_BIAS_16;        // 258
constexpr int32_t CAP_PAIR_16 = 2 * (LARGEST_COUNT_BYTE + PAIR_BIAS_16);  // 514
constexpr int32_t CAP_PACKED_16 = LARGEST_COUNT_BYTE + PACKED_BIAS_16;    // 256
// The largest of them: what one corrupt command can write past a row's end.
constexpr int32_t LONGEST_COMMAND_OUTPUT = CAP_PAIR_8;
static_assert(LONGEST_COMMAND_OUTPUT >= CAP_FILL_8 && LONGEST_COMMAND_OUTPUT >= CAP_PAIR_16 &&
              LONGEST_COMMAND_OUTPUT >= CAP_FILL_16 && LONGEST_COMMAND_OUTPUT >= CAP_PACKED_16);

// CMD_PACKED: one shared byte carries the pixel bits under PACKED_SHARED_MASK
// (the top bits of each component); one byte per pixel carries the rest.
//   shared byte bits 7..0 = pixel bits 15 14 13 10 9 4 3 2
//   pixel byte  bits 7..0 = pixel bits 12 11 8 7 6 5 1 0
constexpr uint16_t PACKED_SHARED_MASK = 0xE61C;

// Both bytes may be -1 (missing data); the masks then supply all ones.
constexpr uint16_t packedPixel(int32_t shared, int32_t pixelByte) {
    return static_cast<uint16_t>(((shared >> 5) & 7) << 13 | ((shared >> 3) & 3) << 9 | (shared & 7) << 2 |
                                 ((pixelByte >> 6) & 3) << 11 | ((pixelByte >> 2) & 15) << 5 | (pixelByte & 3));
}
constexpr uint8_t packedSharedByte(uint16_t p) {
    return static_cast<uint8_t>(((p >> 13) & 7) << 5 | ((p >> 9) & 3) << 3 | ((p >> 2) & 7));
}
constexpr uint8_t packedPixelByte(uint16_t p) {
    return static_cast<uint8_t>(((p >> 11) & 3) << 6 | ((p >> 5) & 15) << 2 | (p & 3));
}

// The most bytes a plane's stream can hand the decoder before it has every
// row or stops at a row that runs past the width: 2 a sample in an 8-bit
// stream (an escaped sample), 4 a pixel in a 16-bit one (a packed run of one
// pixel), then slack for one last command that overruns the last row (a
// packed run of 256 pixels takes 259 bytes) and the decoders' look-ahead.
// Bytes past it are never read.
constexpr uint64_t MOST_BYTES_PER_SAMPLE_8 = 2, MOST_BYTES_PER_PIXEL_16 = 4, PLANE_READ_SLACK = 1024;
constexpr uint64_t mostBytesPerSample(const FileHeader& header, bool alphaPlane) {
    return header.bitsPerPixel == 16 && !alphaPlane ? MOST_BYTES_PER_PIXEL_16 : MOST_BYTES_PER_SAMPLE_8;
}
constexpr uint64_t planeReach(const FileHeader& header, bool alphaPlane) {
    return uint64_t{header.width} * header.height * mostBytesPerSample(header, alphaPlane) + PLANE_READ_SLACK;
}
// The same for one row: a whole row takes at most the width's share, and
// its last command, which may run past the width, fits in the slack. A
// reader holding this many bytes from a row's start decodes the row as it
// would from the whole file.
constexpr uint64_t rowReach(const FileHeader& header, bool alphaPlane) {
    return uint64_t{header.width} * mostBytesPerSample(header, alphaPlane) + PLANE_READ_SLACK;
}

// Rows of 5-6-5 pixels to and from RGB bytes, as widenedRgb() and narrowed().
void rgbFrom565(uint8_t* rgb, const uint16_t* pixels, int32_t count);
void rgbTo565(uint16_t* pixels, const uint8_t* rgb, int32_t count);

}  // namespace qvr
