// Stream types for the line coders over bytes in memory, with rows going
// straight to and from planes in the caller's layout (PixelPlanes): a one-byte
// read is a pointer step and a bounds test the compiler sees, and decoded
// colour rows are widened from the ring straight into the caller's pixels.
// They keep every binding's rules (codec/internal/binding_state.h): the first
// failure wins, after it nothing is read and no row is delivered; the end of
// the data is EndOfData at the byte concerned; a seek outside the data is
// SeekOutside.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/format.h"
#include "codec/bytes_in_place.h"
#include "codec/row_bytes.h"
#include "streams/stream_binding.h"

namespace qvr {

// Where the memory path's rows lie: a plane as its first byte, the step from
// one pixel to the next and from one row to the next. An absent plane has no
// first byte. Colour steps are 3 (RGB) or 4 (RGBA); sample steps are 1, or 4
// for alpha inside RGBA pixels, where `first` is the first pixel's fourth
// byte and the pixels' whole words are read and written around it.
struct PlaneView {
    uint8_t* first = nullptr;
    int32_t pixelStep = 0;
    size_t rowStep = 0;

    uint8_t* row(int32_t top) const { return first + static_cast<size_t>(top) * rowStep; }
};

// The planes of an image as the memory path reads and writes them. Colour
// rows are widened into `colour` (with an alpha byte of 255 at step 4, which
// alpha rows then overwrite). Index rows go to `indices` or, without it, are
// expanded through `palette` into `colour`. Alpha rows go to `alpha`, or are
// decoded and dropped without it.
struct PixelPlanes {
    int32_t width = 0;
    int32_t height = 0;
    PlaneView colour;
    PlaneView alpha;
    PlaneView indices;
    const uint8_t* palette = nullptr;  // 256 RGB triples
};

// The planes of a RasterImage sized for its depth.
PixelPlanes planesOf(RasterImage& image);

// The bindings' record of the transfer (first failure, failed seek, rows per
// kind) and the attached planes: what both directions share.
class MemoryCodecState : public BindingState {
public:
    int systemError() const { return 0; }  // memory never fails for a system reason
    void attach(const PixelPlanes& planes) { planes_ = planes; }
    // Called after every row, for example to draw a progress bar.
    void onProgress(void (*report)(void* context, int32_t done, int32_t total), void* context) {
        report_ = report;
        reportContext_ = context;
    }
    void progress(int32_t done, int32_t total) {
        if (report_) report_(reportContext_, done, total);
    }

protected:
    // True when row `top` of `width` pixels lies inside the attached planes.
    bool rowFits(int32_t top, int32_t width) const {
        return width == planes_.width && top >= 0 && top < planes_.height;
    }

    PixelPlanes planes_;
    void (*report_)(void* context, int32_t done, int32_t total) = nullptr;
    void* reportContext_ = nullptr;
};

// Reads a file held by the caller; the bytes are not copied. Its bytes end
// at the limit, which moves to the data's start on the first failure.
class MemoryReader : public MemoryCodecState, public BytesInPlace<MemoryReader> {
public:
    MemoryReader(const uint8_t* data, size_t size) : data_(data), end_(data + size) {
        cursor_ = data;
        limit_ = end_;
    }

    int32_t read(void* buffer, int32_t count);
    int32_t seek(int32_t offset, int32_t origin);
    // The bytes read or taken so far from the start.
    size_t position() const { return static_cast<size_t>(cursor_ - data_); }

    void attach(const PixelPlanes& planes);
    void putSlotRow(uint8_t* slot, int32_t kind, int32_t top, int32_t width);
    static constexpr bool HANDS_OUT_RING_ROWS = false;  // rows are copied out
    struct RgbStage {};
    void startRgb(RgbStage&) {}
    // Widens the row's 5-6-5 pixels straight into the colour plane.
    void putRgbRow(RgbStage&, const uint16_t* pixels, const uint16_t* above, int32_t top, int32_t width);

private:
    int32_t missingByte();
    void fail(StreamFailure failure);
    void putIndexRow(const uint8_t* slot, int32_t top, int32_t width);
    void putAlphaRow(const uint8_t* slot, int32_t top, int32_t width);

    friend class BytesInPlace<MemoryReader>;
    int32_t byteOutside() { return missingByte(); }

    const uint8_t* data_;
    const uint8_t* end_;
    uint32_t paletteWords_[256] = {};  // the palette as opaque RGBA, for expanded index rows
};

// Buffers handed between the memory path and its callers: nullptr when
// memory runs out.
uint8_t* allocateBytes(size_t size);
void freeBytes(uint8_t* bytes);

// Writes a file into a buffer of its own, which grows as needed and which
// release() hands over; rows come straight from the attached planes.
// Running out of memory throws std::bad_alloc.
class MemoryWriter : public MemoryCodecState {
public:
    explicit MemoryWriter(size_t expectedSize);
    ~MemoryWriter();
    MemoryWriter(const MemoryWriter&) = delete;
    MemoryWriter& operator=(const MemoryWriter&) = delete;

    // A row's commands, at most the bytes announced, go out without a test
    // each, in place in the buffer.
    using RowOutput = RowBytes;
    RowOutput rowOutput(int32_t bytes) {
        if (limit_ - cursor_ < bytes) grow(static_cast<size_t>(bytes));
        return {cursor_};
    }
    void endRow(const RowOutput& row) { cursor_ = row.cursor; }
    int32_t write(const void* buffer, int32_t count);
    int32_t seek(int32_t offset, int32_t origin);

    void getSlotRow(uint8_t* slot, int32_t kind, int32_t top, int32_t width);
    struct RgbStage {};
    void startRgb(RgbStage&) {}
    // Narrows row `top` of the colour plane into 5-6-5 pixels; a refused row reads as zeros.
    void getRgbRow(RgbStage&, uint16_t* pixels, int32_t top, int32_t width);

    // The data's size once the coder is done.
    size_t finish();
    // The buffer, of at least finish() bytes, for the caller to freeBytes().
    uint8_t* release();

private:
    void getAlphaRow(uint8_t* slot, int32_t top, int32_t width);
    void grow(size_t more);
    size_t position() const { return static_cast<size_t>(cursor_ - data_); }
    void noteEnd() {
        if (position() > size_) size_ = position();
    }

    uint8_t* data_;
    uint8_t* cursor_;
    uint8_t* limit_;
    size_t size_ = 0;  // the data's end: the furthest position written
};

}  // namespace qvr
