// The codec's view of the outside world: a table of stream and row procedures
// and the per-call context that carries it. The codec allocates nothing and
// touches no file or host directly; everything goes through StreamProcs (or,
// inside the library, through a binding the line coders are compiled for).
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
// 0, 1, 2 for the kinds above in that order, -1 for any other value.
constexpr int32_t rowKindIndex(int32_t kind) {
    return kind == ROW_KIND_INDEX ? 0 : kind == ROW_KIND_RGB ? 1 : kind == ROW_KIND_ALPHA ? 2 : -1;
}

// rowBytes of the codec's row transfers: 8192 for a row of one-byte samples
// (a ring slot), 24576 for an RGB row buffer of three bytes per pixel.
constexpr int32_t ROW_SLOT_SAMPLES = 8192;
constexpr int32_t RGB_ROW_BYTES = 3 * ROW_SLOT_SAMPLES;

// Seven words: an opaque value, then six procedures that each get it first.
struct StreamProcs {
    void* userData;
    int32_t (*read)(void* userData, void* buffer, int32_t count);
    int32_t (*write)(void* userData, const void* buffer, int32_t count);
    int32_t (*seek)(void* userData, int32_t offset, int32_t origin);
    int32_t (*putRows)(void* userData, void* buffer, int32_t rowBytes, int32_t kind, int32_t left, int32_t top,
                       int32_t width, int32_t height);
    int32_t (*getRows)(void* userData, void* buffer, int32_t rowBytes, int32_t kind, int32_t left, int32_t top,
                       int32_t width, int32_t height);
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

}  // namespace qvr
