// The codec's view of the outside world: a table of stream and row procedures,
// the per-call context that carries it, and the row ring the line coders use
// for back references. The codec allocates nothing and touches no file or host
// directly; everything goes through StreamProcs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvr {

// What one pixel of a putRows/getRows buffer holds.
enum RowKind : int32_t {
    ROW_KIND_INDEX = 8,   // one palette index per pixel
    ROW_KIND_RGB = 24,    // red, green, blue bytes per pixel
    ROW_KIND_ALPHA = 48,  // one alpha byte per pixel
};

constexpr int32_t ROW_SLOT_SAMPLES = 8192;                   // samples in one ring slot
constexpr int32_t RING_SLOTS = 4;                            // row r lives in slot r & 3
constexpr int32_t RGB_ROW_BYTES = 3 * ROW_SLOT_SAMPLES;      // 24576: one RGB row buffer
constexpr int32_t READER_SPARE_SAMPLES = 516;                // largest single-command output

// Seven words: an opaque value, then six procedures that each get it first.
struct StreamProcs {
    void* userData;
    int32_t (*read)(void* userData, void* buffer, int32_t count);
    int32_t (*write)(void* userData, const void* buffer, int32_t count);
    int32_t (*seek)(void* userData, int32_t offset, int32_t origin);
    int32_t (*putRows)(void* userData, void* buffer, int32_t rowBytes, int32_t kind, int32_t left,
                       int32_t top, int32_t width, int32_t height);
    int32_t (*getRows)(void* userData, void* buffer, int32_t rowBytes, int32_t kind, int32_t left,
                       int32_t top, int32_t width, int32_t height);
    int32_t (*progress)(void* userData, int32_t done, int32_t total);
};
static_assert(sizeof(StreamProcs) == 7 * sizeof(void*), "StreamProcs is a seven-word table");

constexpr int32_t SEEK_FROM_START = 0;
constexpr int32_t SEEK_FROM_CURRENT = 1;

// Everything one codec operation knows; rebuilt for every host call.
struct CodecContext {
    StreamProcs procs;
    uint8_t palette[768];  // 256 entries of red, green, blue
    int32_t width;
    int32_t height;
    int32_t depth;  // 8 indexed, 24 RGB, 32 RGB with alpha
    int32_t minBytes;
    int32_t maxBytes;
};

// Four row slots of 8192 samples; Spare samples after the last slot absorb the
// largest output of one corrupt command. One guard sample before slot 0 keeps a
// look one to the left of position 0 inside the ring.
template <typename Sample, int32_t Spare>
struct RowRing {
    Sample samples[1 + RING_SLOTS * ROW_SLOT_SAMPLES + Spare];

    Sample* slot(int32_t row) { return samples + 1 + (row & (RING_SLOTS - 1)) * ROW_SLOT_SAMPLES; }
};

// Reader primitives: one read() call per byte. The decoders pass a local copy
// of the table, which the compiler can keep in registers across the calls.
inline int32_t readByte(const StreamProcs& procs) {
    uint8_t byte;
    if (procs.read(procs.userData, &byte, 1) <= 0) return -1;
    return byte;
}
inline int32_t readByte(CodecContext* ctx) { return readByte(ctx->procs); }

// Low byte first. A missing byte counts as -1 and is combined as a 32-bit
// value, so callers that keep the low 16 bits see 0xFFFF, or 0xFF00 plus the
// first byte when only the second is missing.
inline int32_t readWord(const StreamProcs& procs) {
    int32_t first = readByte(procs);
    int32_t second = readByte(procs);
    return static_cast<int32_t>(static_cast<uint32_t>(second & 0xFFFF) << 8) | first;
}
inline int32_t readWord(CodecContext* ctx) { return readWord(ctx->procs); }

}  // namespace qvr
