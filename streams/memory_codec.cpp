#include "streams/memory_codec.h"

#include <cstring>

namespace qvr {
namespace {

// The target of a seek, or -1 when it lies outside 0..size.
int64_t seekTarget(int32_t offset, int32_t origin, size_t position, size_t size) {
    int64_t target = offset;
    if (origin == SEEK_FROM_CURRENT) target += static_cast<int64_t>(position);
    else if (origin != SEEK_FROM_START) return -1;
    return target >= 0 && target <= static_cast<int64_t>(size) ? target : -1;
}

}  // namespace

// ---- shared ----

int32_t MemoryCodecState::rowsMoved(int32_t kind) const {
    const int32_t slot = rowKindIndex(kind);
    return slot < 0 ? 0 : rowsMoved_[slot];
}

uint8_t* MemoryCodecState::planeRow(int32_t kind, int32_t top, int32_t width) const {
    return image_ ? image_->row(kind, top, width) : nullptr;
}

void MemoryCodecState::countRow(int32_t kind) { ++rowsMoved_[rowKindIndex(kind)]; }

// ---- reading ----

void MemoryReader::fail(StreamFailure failure) {
    if (failed()) return;
    failure_ = failure;
    limit_ = data_;  // no byte is read after this
}

int32_t MemoryReader::missingByte() {
    fail(StreamFailure::EndOfData);
    return -1;
}

int32_t MemoryReader::read(void* buffer, int32_t count) {
    if (failed() || count <= 0) return 0;
    const size_t available = cursor_ < end_ ? static_cast<size_t>(end_ - cursor_) : 0;
    const size_t n = available < static_cast<size_t>(count) ? available : static_cast<size_t>(count);
    if (n == 0) {
        fail(StreamFailure::EndOfData);
        return 0;
    }
    std::memcpy(buffer, cursor_, n);
    cursor_ += n;
    return static_cast<int32_t>(n);
}

int32_t MemoryReader::seek(int32_t offset, int32_t origin) {
    const size_t size = static_cast<size_t>(end_ - data_);
    const int64_t target = seekTarget(offset, origin, static_cast<size_t>(cursor_ - data_), size);
    if (target < 0) {
        if (!failed()) failedSeekTarget_ = (origin == SEEK_FROM_CURRENT ? cursor_ - data_ : 0) + int64_t{offset};
        fail(StreamFailure::SeekOutside);
        return -1;
    }
    cursor_ = data_ + target;
    return static_cast<int32_t>(target);
}

void MemoryReader::putSlotRow(uint8_t* slot, int32_t kind, int32_t top, int32_t width) {
    if (failed()) return;
    uint8_t* row = planeRow(kind, top, width);
    if (!row) {
        fail(StreamFailure::RowRefused);
        return;
    }
    std::memcpy(row, slot, static_cast<size_t>(width));
    countRow(kind);
}

uint8_t* MemoryReader::rgbTarget(RgbStage&, int32_t top) {
    return failed() || !image_ ? nullptr : planeRow(ROW_KIND_RGB, top, image_->width);
}

const uint8_t* MemoryReader::rgbAbove(RgbStage& stage, int32_t top) {
    // Row top - 1 was delivered, or row top would not be: failures stay.
    return top > 0 ? rgbTarget(stage, top - 1) : rgbTarget(stage, top);
}

void MemoryReader::putRgbRow(RgbStage&, int32_t top, int32_t width) {
    if (failed()) return;
    if (!planeRow(ROW_KIND_RGB, top, width)) {
        fail(StreamFailure::RowRefused);
        return;
    }
    countRow(ROW_KIND_RGB);  // the row was widened in place
}

// ---- writing ----

MemoryWriter::MemoryWriter(std::vector<uint8_t>& out, size_t expectedSize) : out_(out) {
    out_.resize(expectedSize > 0 ? expectedSize : 1);
    cursor_ = out_.data();
    limit_ = out_.data() + out_.size();
}

void MemoryWriter::grow(size_t more) {
    const size_t at = position();
    size_t capacity = out_.size() + out_.size() / 2;
    if (capacity < at + more) capacity = at + more;
    out_.resize(capacity);
    cursor_ = out_.data() + at;
    limit_ = out_.data() + out_.size();
}

int32_t MemoryWriter::write(const void* buffer, int32_t count) {
    if (failed() || count <= 0) return 0;
    const size_t n = static_cast<size_t>(count);
    if (static_cast<size_t>(limit_ - cursor_) < n) grow(n);
    std::memcpy(cursor_, buffer, n);
    cursor_ += n;
    return count;
}

int32_t MemoryWriter::seek(int32_t offset, int32_t origin) {
    noteEnd();
    const int64_t target = seekTarget(offset, origin, position(), size_);
    if (target < 0) {
        if (!failed()) failure_ = StreamFailure::SeekOutside;
        return -1;
    }
    cursor_ = out_.data() + target;
    return static_cast<int32_t>(target);
}

void MemoryWriter::getSlotRow(uint8_t* slot, int32_t kind, int32_t top, int32_t width) {
    if (failed()) return;
    const uint8_t* row = planeRow(kind, top, width);
    if (!row) {
        failure_ = StreamFailure::RowRefused;
        return;
    }
    std::memcpy(slot, row, static_cast<size_t>(width));
    countRow(kind);
}

void MemoryWriter::startRgb(RgbStage& stage) { std::memset(stage.zeros, 0, sizeof stage.zeros); }

const uint8_t* MemoryWriter::getRgbRow(RgbStage& stage, int32_t top, int32_t width) {
    const uint8_t* row = failed() ? nullptr : planeRow(ROW_KIND_RGB, top, width);
    if (!row) {
        if (!failed()) failure_ = StreamFailure::RowRefused;
        return stage.zeros;
    }
    countRow(ROW_KIND_RGB);
    return row;
}

size_t MemoryWriter::finish() {
    noteEnd();
    out_.resize(size_);
    return size_;
}

}  // namespace qvr
