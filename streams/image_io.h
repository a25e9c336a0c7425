// Whole-image reading and writing through a stream binding or straight from
// and to memory, with messages a person can act on. The tools, tests, fuzzers
// and benchmarks share these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codec/reader.h"
#include "streams/memory_codec.h"
#include "streams/stream_binding.h"

namespace qvr {

// What the messages say of a file that is not QVR, and of the sizes QVR holds
// (imageSizeReadable() in codec/format.h).
inline constexpr const char* NOT_QVR_TEXT = "not a QVR file (its header fails the format's tests)";
#define QVR_SIZE_RANGE "2 to 8191 columns and 1 to 8191 rows"
static_assert(MIN_READABLE_WIDTH == 2 && MIN_READABLE_HEIGHT == 1 && MAX_READABLE_SIDE == 8191,
              "QVR_SIZE_RANGE names these sizes");
inline constexpr const char* SIZE_RANGE_TEXT = "a QVR file holds " QVR_SIZE_RANGE;

struct QvrInfo {
    bool valid = false;  // the header passes every test
    FileHeader header{};
    int32_t depth = 0;
    std::string offsetProblem;  // "" when every offset lies inside the file
};

// Reads and tests the header, and seeks to each offset it gives.
QvrInfo inspectQvr(StreamBinding& stream);

// Reads the whole image into `image`. Returns "" on success, else what went
// wrong ("row 12 of the colour plane runs past the image width", ...). Rows
// decoded before a failure stay in `image`.
std::string loadQvr(StreamBinding& stream, RasterImage& image);

// Writes `image` as a QVR file. Returns "" on success, else why not (a size
// the format cannot hold, or planes that do not match the size and depth).
std::string saveQvr(StreamBinding& stream, const RasterImage& image);

// loadQvr() over a file held in memory, without copying it: the same
// messages and the same image as through a MemoryStream, faster.
std::string loadQvrMemory(const uint8_t* data, size_t size, RasterImage& image);

// saveQvr() into `out`, which is replaced by the file's bytes (emptied when
// the save fails): the same bytes and messages as through a MemoryStream,
// faster. `report`, when given, is called after every row.
using ProgressReport = void (*)(void* context, int32_t done, int32_t total);
std::string saveQvrMemory(const RasterImage& image, std::vector<uint8_t>& out, ProgressReport report = nullptr,
                          void* reportContext = nullptr);

// The same into the writer's own buffer, which is handed over instead of
// copied: for large images, whose file then exists only once.
struct OwnedBytes {
    std::unique_ptr<uint8_t, decltype(&freeBytes)> data{nullptr, &freeBytes};
    size_t size = 0;
};
std::string saveQvrMemory(const RasterImage& image, OwnedBytes& out, ProgressReport report = nullptr,
                          void* reportContext = nullptr);

// The memory path into planes of the caller's own layout: `planesFor` is
// called once the header is known (size, depth, and the palette in
// ctx.palette) and returns where the rows go. Returns "" or what went wrong,
// as loadQvrMemory().
std::string decodeQvrMemory(const uint8_t* data, size_t size,
                            const std::function<PixelPlanes(const CodecContext&)>& planesFor);

// The memory path from planes of the caller's own layout, which must hold
// ctx's size and depth (ctx.width within the readable sizes). On success
// *data is a buffer of *size bytes for the caller to freeBytes(); on failure
// it is nullptr. Running out of memory throws std::bad_alloc.
std::string encodeQvrMemory(const CodecContext& ctx, const PixelPlanes& planes, uint8_t** data, size_t* size,
                            ProgressReport report = nullptr, void* reportContext = nullptr);

// What reading back a file written from `image` gives: see keptSample() and
// the functions beside it.
RasterImage keptByQvr(const RasterImage& image);

}  // namespace qvr
