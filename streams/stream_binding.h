// Bindings of the codec's StreamProcs for programs that run without a host:
// over a byte buffer in memory or over a file, with rows moving to and from a
// RasterImage. They keep every binding's rules (codec/internal/binding_state.h):
// the first failure wins, and after it every read, write and row transfer does
// nothing and returns 0. Seeks still run; a seek outside the data fails, leaves
// the position and is recorded as a failure (SeekOutside) when it is the first.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "codec/internal/binding_state.h"
#include "codec/stream.h"

namespace qvr {

// An image as the tools hold it: one plane per row kind.
struct RasterImage {
    int32_t width = 0;
    int32_t height = 0;
    int32_t depth = 0;  // 8 indexed, 24 RGB, 32 RGB with alpha
    std::array<uint8_t, 768> palette{};
    std::vector<uint8_t> indices;  // width x height, depth 8
    std::vector<uint8_t> rgb;      // width x height x 3, depth 24 and 32
    std::vector<uint8_t> alpha;    // width x height, depth 32

    // Sizes the planes that `depth` needs, zero-filled.
    void allocate(int32_t newWidth, int32_t newHeight, int32_t newDepth);
    // Row `top` of the plane that holds pixels of `kind` (a RowKind), `rowWidth`
    // pixels wide; nullptr when the image has no such plane, the width is not
    // the image's, or the row lies outside the plane.
    uint8_t* row(int32_t kind, int32_t top, int32_t rowWidth);
};

const char* describeFailure(StreamFailure failure);

class StreamBinding : public BindingState {
public:
    virtual ~StreamBinding() = default;

    // The procedure table, bound to this object; row transfers use `image`.
    virtual StreamProcs procs();
    void attachImage(RasterImage* image) { image_ = image; }

    // The system's reason (errno) for a read or write error, when it gave one.
    int systemError() const { return systemError_; }
    // Called on every progress report, for example to draw a progress bar.
    void onProgress(void (*report)(void* context, int32_t done, int32_t total), void* context) {
        report_ = report;
        reportContext_ = context;
    }

protected:
    // Records the failure when it is the first.
    void fail(StreamFailure failure) {
        if (recordFailure(failure)) onFailure();
    }
    // Called when the first failure is recorded.
    virtual void onFailure() {}
    // The general procedures, which keep the first-failure rule.
    static int32_t read(void* self, void* buffer, int32_t count);
    static int32_t write(void* self, const void* buffer, int32_t count);

    // Each returns bytes moved, 0 at the end of the data, or -1 on failure.
    virtual int32_t readBytes(void* buffer, int32_t count) = 0;
    virtual int32_t writeBytes(const void* buffer, int32_t count) = 0;
    // Moves to `target`, which lies within the data; returns it, or -1 when
    // the move failed (position unchanged).
    virtual int32_t seekTo(int64_t target) = 0;
    virtual int64_t position() const = 0;
    virtual int64_t dataSize() const = 0;

private:
    static int32_t seek(void* self, int32_t offset, int32_t origin);
    static int32_t putRows(void* self, void* buffer, int32_t rowBytes, int32_t kind, int32_t left, int32_t top,
                           int32_t width, int32_t height);
    static int32_t getRows(void* self, void* buffer, int32_t rowBytes, int32_t kind, int32_t left, int32_t top,
                           int32_t width, int32_t height);
    static int32_t progress(void* self, int32_t done, int32_t total);

    // Copies one row between the codec's buffer and the image: into the image
    // when `toImage`, else out of it. Refuses a row that does not fit.
    int32_t moveRow(bool toImage, uint8_t* buffer, int32_t rowBytes, int32_t kind, int32_t left, int32_t top,
                    int32_t width, int32_t height);

    RasterImage* image_ = nullptr;
    int systemError_ = 0;
    void (*report_)(void*, int32_t, int32_t) = nullptr;
    void* reportContext_ = nullptr;
};

// Over a byte buffer: reads from it, or builds it when writing.
class MemoryStream : public StreamBinding {
public:
    MemoryStream() = default;  // an empty buffer to write into
    explicit MemoryStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)), size_(bytes_.size()) { armReading(); }

    // The data: what was given, or what has been written.
    const std::vector<uint8_t>& bytes() {
        settle();
        bytes_.resize(size_);
        return bytes_;
    }
    // The general table, with reads and writes that take the codec's usual
    // one- and two-byte requests without any further call.
    StreamProcs procs() override;

protected:
    int32_t readBytes(void* buffer, int32_t count) override;
    int32_t writeBytes(const void* buffer, int32_t count) override;
    int32_t seekTo(int64_t target) override;
    int64_t position() const override {
        if (appendCursor_) return appendCursor_ - bytes_.data();
        if (readCursor_) return readCursor_ - bytes_.data();
        return static_cast<int64_t>(position_);
    }
    int64_t dataSize() const override {
        const int64_t appended = appendCursor_ ? appendCursor_ - bytes_.data() : 0;
        return appended > static_cast<int64_t>(size_) ? appended : static_cast<int64_t>(size_);
    }
    void onFailure() override { settle(); }

private:
    static int32_t quickRead(void* self, void* buffer, int32_t count);
    static int32_t quickWrite(void* self, const void* buffer, int32_t count);

    void reserveFor(size_t end);
    // Quick paths. While appendCursor_ is set, small writes land there and it
    // marks both the position and the end of the data; while readCursor_ is
    // set, one-byte reads come from it up to readLimit_. settle() folds either
    // back into position_ and size_ and stops both; the arm functions start
    // them again where no failure stands in the way.
    void settle();
    void armAppending();
    void armReading();

    std::vector<uint8_t> bytes_;  // storage; only the first size_ bytes are data
    size_t size_ = 0;
    size_t position_ = 0;
    uint8_t* appendCursor_ = nullptr;
    uint8_t* appendLimit_ = nullptr;
    const uint8_t* readCursor_ = nullptr;
    const uint8_t* readLimit_ = nullptr;
};

// Over a file opened for reading or created for writing.
class FileStream : public StreamBinding {
public:
    enum class Mode { Read, Write };
    FileStream(const std::string& path, Mode mode);
    ~FileStream() override;
    FileStream(const FileStream&) = delete;
    FileStream& operator=(const FileStream&) = delete;

    bool isOpen() const { return file_ != nullptr; }
    // Flushes and closes; false when the data could not all be written.
    bool close();

protected:
    int32_t readBytes(void* buffer, int32_t count) override;
    int32_t writeBytes(const void* buffer, int32_t count) override;
    int32_t seekTo(int64_t target) override;
    int64_t position() const override { return position_; }
    int64_t dataSize() const override { return size_; }

private:
    std::FILE* file_ = nullptr;
    int64_t position_ = 0;
    int64_t size_ = 0;
};

}  // namespace qvr
