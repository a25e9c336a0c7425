// Stream types for the line coders over bytes in memory, with rows going
// straight to and from a RasterImage: a one-byte read is a pointer step and a
// bounds test the compiler sees, and decoded colour rows are widened in place
// in the image. They keep the bindings' rules: the first failure wins, after
// it nothing is read and no row is delivered; the end of the data is
// EndOfData at the byte concerned; a seek outside the data is SeekOutside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/internal/procs_stream.h"
#include "streams/stream_binding.h"

namespace qvr {

// Rows handed over per kind, and the first failure: what both directions share.
class MemoryCodecState {
public:
    StreamFailure failure() const { return failure_; }
    int systemError() const { return 0; }  // memory never fails for a system reason
    // Where the seek that failed with SeekOutside was asked to go.
    int64_t failedSeekTarget() const { return failedSeekTarget_; }
    int32_t rowsMoved(int32_t kind) const;
    void attachImage(RasterImage* image) { image_ = image; }
    void progress(int32_t, int32_t) {}

protected:
    bool failed() const { return failure_ != StreamFailure::None; }
    // The start of row `top` of the plane for `kind`, or nullptr when the row
    // does not fit the attached image.
    uint8_t* planeRow(int32_t kind, int32_t top, int32_t width) const;
    void countRow(int32_t kind);

    RasterImage* image_ = nullptr;
    StreamFailure failure_ = StreamFailure::None;
    int64_t failedSeekTarget_ = 0;
    int32_t rowsMoved_[3] = {0, 0, 0};
};

// Reads a file held by the caller; the bytes are not copied.
class MemoryReader : public MemoryCodecState {
public:
    MemoryReader(const uint8_t* data, size_t size)
        : data_(data), cursor_(data), limit_(data + size), end_(data + size) {}

    int32_t readByte() {
        if (cursor_ < limit_) return *cursor_++;
        return missingByte();
    }
    int32_t readWord() {
        if (limit_ - cursor_ >= 2) {
            const int32_t word = cursor_[0] | cursor_[1] << 8;
            cursor_ += 2;
            return word;
        }
        const int32_t first = readByte();
        return combineWord(first, readByte());
    }
    // n bytes in place, with `slack` more readable after them; nullptr when
    // fewer remain (the coder then reads them one by one).
    const uint8_t* take(int32_t n, int32_t slack) {
        if (n + slack > limit_ - cursor_) return nullptr;
        const uint8_t* bytes = cursor_;
        cursor_ += n;
        return bytes;
    }
    int32_t read(void* buffer, int32_t count);
    int32_t seek(int32_t offset, int32_t origin);

    void putSlotRow(uint8_t* slot, int32_t kind, int32_t top, int32_t width);
    struct RgbStage {};
    void startRgb(RgbStage&) {}
    uint8_t* rgbTarget(RgbStage&, int32_t top);
    const uint8_t* rgbAbove(RgbStage& stage, int32_t top);
    void putRgbRow(RgbStage&, int32_t top, int32_t width);

private:
    int32_t missingByte();
    void fail(StreamFailure failure);

    const uint8_t* data_;
    const uint8_t* cursor_;
    const uint8_t* limit_;  // end_ while nothing has failed, data_ after
    const uint8_t* end_;
};

// Writes a file into a caller's vector, which grows as needed; rows come
// straight from the attached image.
class MemoryWriter : public MemoryCodecState {
public:
    MemoryWriter(std::vector<uint8_t>& out, size_t expectedSize);

    // The encoders announce a row's largest size before its bytes, which then
    // go out without a test each.
    void room(int32_t bytes) {
        if (limit_ - cursor_ < bytes) grow(static_cast<size_t>(bytes));
    }
    void putByte(int32_t value) { *cursor_++ = static_cast<uint8_t>(value); }
    // n bytes to fill in place; the row's room covers them and the slack.
    uint8_t* place(int32_t n, int32_t) {
        uint8_t* bytes = cursor_;
        cursor_ += n;
        return bytes;
    }
    void putWord(int32_t value) {
        cursor_[0] = static_cast<uint8_t>(value);
        cursor_[1] = static_cast<uint8_t>(value >> 8);
        cursor_ += 2;
    }
    int32_t write(const void* buffer, int32_t count);
    int32_t seek(int32_t offset, int32_t origin);

    void getSlotRow(uint8_t* slot, int32_t kind, int32_t top, int32_t width);
    struct RgbStage {
        uint8_t zeros[RGB_ROW_BYTES];  // what a refused row reads as
    };
    void startRgb(RgbStage& stage);
    const uint8_t* getRgbRow(RgbStage& stage, int32_t top, int32_t width);

    // Trims the vector to the data written; returns its size.
    size_t finish();

private:
    void grow(size_t more);
    size_t position() const { return static_cast<size_t>(cursor_ - out_.data()); }
    void noteEnd() {
        if (position() > size_) size_ = position();
    }

    std::vector<uint8_t>& out_;
    uint8_t* cursor_;
    uint8_t* limit_;
    size_t size_ = 0;  // the data's end: the furthest position written
};

}  // namespace qvr
