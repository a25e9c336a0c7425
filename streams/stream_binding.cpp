#include "streams/stream_binding.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#define getc_unlocked _getc_nolock
#endif

namespace qvr {

void RasterImage::allocate(int32_t newWidth, int32_t newHeight, int32_t newDepth) {
    width = newWidth;
    height = newHeight;
    depth = newDepth;
    const size_t pixels = static_cast<size_t>(newWidth) * static_cast<size_t>(newHeight);
    indices.assign(newDepth == 8 ? pixels : 0, 0);
    rgb.assign(newDepth == 8 ? 0 : 3 * pixels, 0);
    alpha.assign(newDepth == 32 ? pixels : 0, 0);
}

uint8_t* RasterImage::row(int32_t kind, int32_t top, int32_t rowWidth) {
    if (rowWidth != width || top < 0 || top >= height) return nullptr;
    std::vector<uint8_t>* plane = nullptr;
    size_t bytesPerPixel = 1;
    if (kind == ROW_KIND_INDEX && depth == 8) plane = &indices;
    if (kind == ROW_KIND_RGB && depth != 8) plane = &rgb, bytesPerPixel = 3;
    if (kind == ROW_KIND_ALPHA && depth == 32) plane = &alpha;
    const size_t rowSize = static_cast<size_t>(rowWidth) * bytesPerPixel;
    const size_t end = (static_cast<size_t>(top) + 1) * rowSize;
    if (!plane || plane->size() < end) return nullptr;  // planes smaller than the size too
    return plane->data() + end - rowSize;
}

const char* describeFailure(StreamFailure failure) {
    switch (failure) {
    case StreamFailure::None: return "no failure";
    case StreamFailure::EndOfData: return "the data ends too early";
    case StreamFailure::ReadError: return "read error";
    case StreamFailure::WriteError: return "write error";
    case StreamFailure::RowRefused: return "a row did not fit the image";
    case StreamFailure::SeekOutside: return "an offset lies outside the file";
    }
    return "unknown failure";
}

namespace {

StreamBinding* self(void* userData) { return static_cast<StreamBinding*>(userData); }

}  // namespace

StreamProcs StreamBinding::procs() {
    return StreamProcs{this,
                       &StreamBinding::read,
                       &StreamBinding::write,
                       &StreamBinding::seek,
                       &StreamBinding::putRows,
                       &StreamBinding::getRows,
                       &StreamBinding::progress};
}

int32_t StreamBinding::read(void* userData, void* buffer, int32_t count) {
    StreamBinding* binding = self(userData);
    if (binding->failed() || count <= 0) return 0;
    errno = 0;
    const int32_t moved = binding->readBytes(buffer, count);
    if (moved < 0) binding->systemError_ = errno;
    if (moved < 0) binding->fail(StreamFailure::ReadError);
    if (moved == 0) binding->fail(StreamFailure::EndOfData);
    return moved > 0 ? moved : 0;
}

int32_t StreamBinding::write(void* userData, const void* buffer, int32_t count) {
    StreamBinding* binding = self(userData);
    if (binding->failed() || count <= 0) return 0;
    errno = 0;
    const int32_t moved = binding->writeBytes(buffer, count);
    if (moved < count) {  // a short write loses the rest as surely as a failed one
        binding->systemError_ = errno;
        binding->fail(StreamFailure::WriteError);
    }
    return moved > 0 ? moved : 0;
}

int32_t StreamBinding::seek(void* userData, int32_t offset, int32_t origin) {
    StreamBinding* binding = self(userData);
    const int64_t target = seekRequest(offset, origin, binding->position());
    const int32_t reached = seekInside(origin, target, binding->dataSize()) ? binding->seekTo(target) : -1;
    if (reached < 0 && binding->recordSeekOutside(target)) binding->onFailure();
    return reached;
}

int32_t StreamBinding::putRows(void* userData, void* buffer, int32_t rowBytes, int32_t kind, int32_t left, int32_t top,
                               int32_t width, int32_t height) {
    return self(userData)->moveRow(true, static_cast<uint8_t*>(buffer), rowBytes, kind, left, top, width, height);
}

int32_t StreamBinding::getRows(void* userData, void* buffer, int32_t rowBytes, int32_t kind, int32_t left, int32_t top,
                               int32_t width, int32_t height) {
    return self(userData)->moveRow(false, static_cast<uint8_t*>(buffer), rowBytes, kind, left, top, width, height);
}

int32_t StreamBinding::progress(void* userData, int32_t done, int32_t total) {
    StreamBinding* binding = self(userData);
    if (binding->report_) binding->report_(binding->reportContext_, done, total);
    return 0;
}

int32_t StreamBinding::moveRow(bool toImage, uint8_t* buffer, int32_t rowBytes, int32_t kind, int32_t left, int32_t top,
                               int32_t width, int32_t height) {
    if (failed()) return 0;
    uint8_t* row = image_ && left == 0 && height == 1 ? image_->row(kind, top, width) : nullptr;
    const size_t rowSize = static_cast<size_t>(width) * (kind == ROW_KIND_RGB ? 3 : 1);
    if (!row || rowBytes < 0 || static_cast<size_t>(rowBytes) < rowSize) {
        fail(StreamFailure::RowRefused);
        return 0;
    }
    if (toImage)
        std::memcpy(row, buffer, rowSize);
    else
        std::memcpy(buffer, row, rowSize);
    countRow(kind);
    return 1;
}

// ---- memory ----

StreamProcs MemoryStream::procs() {
    StreamProcs table = StreamBinding::procs();
    table.read = quickRead;
    table.write = quickWrite;
    return table;
}

int32_t MemoryStream::quickRead(void* userData, void* buffer, int32_t count) {
    auto* stream = static_cast<MemoryStream*>(static_cast<StreamBinding*>(userData));
    const uint8_t* cursor = stream->readCursor_;
    if (count == 1 && cursor < stream->readLimit_) {
        *static_cast<uint8_t*>(buffer) = *cursor;
        stream->readCursor_ = cursor + 1;
        return 1;
    }
    stream->settle();
    const int32_t moved = read(userData, buffer, count);
    stream->armReading();
    return moved;
}

int32_t MemoryStream::quickWrite(void* userData, const void* buffer, int32_t count) {
    auto* stream = static_cast<MemoryStream*>(static_cast<StreamBinding*>(userData));
    uint8_t* cursor = stream->appendCursor_;
    if (count == 1 && cursor < stream->appendLimit_) {
        *cursor = *static_cast<const uint8_t*>(buffer);
        stream->appendCursor_ = cursor + 1;
        return 1;
    }
    if (count == 2 && stream->appendLimit_ - cursor >= 2) {  // both null after a failure
        std::memcpy(cursor, buffer, 2);
        stream->appendCursor_ = cursor + 2;
        return 2;
    }
    stream->settle();
    const int32_t moved = write(userData, buffer, count);
    stream->armAppending();
    return moved;
}

void MemoryStream::settle() {
    if (appendCursor_) {
        position_ = static_cast<size_t>(appendCursor_ - bytes_.data());
        if (position_ > size_) size_ = position_;
    }
    if (readCursor_) position_ = static_cast<size_t>(readCursor_ - bytes_.data());
    appendCursor_ = appendLimit_ = nullptr;
    readCursor_ = readLimit_ = nullptr;
}

void MemoryStream::armReading() {
    if (failed() || appendCursor_) return;
    readCursor_ = bytes_.data() + position_;
    readLimit_ = bytes_.data() + size_;
}

void MemoryStream::armAppending() {
    if (failed() || position_ != size_) return;
    appendCursor_ = bytes_.data() + position_;
    appendLimit_ = bytes_.data() + bytes_.size();
}

void MemoryStream::reserveFor(size_t end) {
    if (end > bytes_.size()) bytes_.resize(end < 2 * bytes_.size() ? 2 * bytes_.size() : end + 4096);
}

int32_t MemoryStream::readBytes(void* buffer, int32_t count) {
    settle();
    const size_t available = size_ - position_;
    const size_t n = available < static_cast<size_t>(count) ? available : static_cast<size_t>(count);
    if (n == 0) return 0;
    std::memcpy(buffer, bytes_.data() + position_, n);
    position_ += n;
    return static_cast<int32_t>(n);
}

int32_t MemoryStream::writeBytes(const void* buffer, int32_t count) {
    settle();
    const size_t n = static_cast<size_t>(count);
    reserveFor(position_ + n);
    std::memcpy(bytes_.data() + position_, buffer, n);
    position_ += n;
    if (position_ > size_) size_ = position_;
    return count;
}

int32_t MemoryStream::seekTo(int64_t target) {
    settle();
    position_ = static_cast<size_t>(target);
    armReading();
    return static_cast<int32_t>(target);
}

// ---- file ----

FileStream::FileStream(const std::string& path, Mode mode) {
    file_ = std::fopen(path.c_str(), mode == Mode::Read ? "rb" : "wb");
    if (file_ && mode == Mode::Read && std::fseek(file_, 0, SEEK_END) == 0) {
        size_ = std::ftell(file_);
        std::rewind(file_);
        if (size_ < 0) size_ = 0;
    }
}

FileStream::~FileStream() { close(); }

bool FileStream::close() {
    if (!file_) return true;
    const bool flushed = std::fflush(file_) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    return flushed && closed;
}

int32_t FileStream::readBytes(void* buffer, int32_t count) {
    if (!file_) return -1;
    if (count == 1) {  // the codec's usual request: stay inside stdio's buffer
        const int c = getc_unlocked(file_);
        if (c == EOF) return std::ferror(file_) ? -1 : 0;
        *static_cast<uint8_t*>(buffer) = static_cast<uint8_t>(c);
        ++position_;
        return 1;
    }
    const size_t n = std::fread(buffer, 1, static_cast<size_t>(count), file_);
    if (n == 0) return std::ferror(file_) ? -1 : 0;
    position_ += static_cast<int64_t>(n);
    return static_cast<int32_t>(n);
}

int32_t FileStream::writeBytes(const void* buffer, int32_t count) {
    if (!file_) return -1;
    const size_t n = std::fwrite(buffer, 1, static_cast<size_t>(count), file_);
    if (n != static_cast<size_t>(count)) return -1;
    position_ += count;
    if (position_ > size_) size_ = position_;
    return count;
}

int32_t FileStream::seekTo(int64_t target) {
    if (!file_ || std::fseek(file_, static_cast<long>(target), SEEK_SET) != 0) return -1;
    position_ = target;
    return static_cast<int32_t>(target);
}

}  // namespace qvr
