#include "streams/memory_codec.h"

#include <cstdint>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "codec/internal/pixels.h"
#include "streams/rgb_rows.h"

namespace qvr {
// ---- shared ----

PixelPlanes planesOf(RasterImage& image) {
    PixelPlanes planes;
    planes.width = image.width;
    planes.height = image.height;
    const size_t width = static_cast<size_t>(image.width);
    if (image.depth == 8) planes.indices = {image.indices.data(), 1, width};
    if (image.depth != 8) planes.colour = {image.rgb.data(), 3, 3 * width};
    if (image.depth == 32) planes.alpha = {image.alpha.data(), 1, width};
    planes.palette = image.palette.data();
    return planes;
}

// ---- reading ----

void MemoryReader::fail(StreamFailure failure) {
    if (recordFailure(failure)) limit_ = data_;  // no byte is read after this
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
    const int64_t target = seekWithin(offset, origin, cursor_ - data_, end_ - data_);
    if (target < 0) {
        limit_ = data_;  // failed now or before: no byte is read after this
        return -1;
    }
    cursor_ = data_ + target;
    return static_cast<int32_t>(target);
}

void MemoryReader::attach(const PixelPlanes& planes) {
    MemoryCodecState::attach(planes);
    if (!planes.palette) return;
    for (int32_t i = 0; i < 256; ++i) {
        const uint8_t* entry = planes.palette + 3 * i;
        paletteWords_[i] = entry[0] | entry[1] << 8 | static_cast<uint32_t>(entry[2]) << 16 | 0xFF000000u;
    }
}

void MemoryReader::putIndexRow(const uint8_t* slot, int32_t top, int32_t width) {
    const PlaneView& indices = planes_.indices;
    if (indices.first) {
        std::memcpy(indices.row(top), slot, static_cast<size_t>(width));
        return;
    }
    // The palette's colours instead of the indices, as RGBA words or RGB
    // triples: the step is chosen once per row, not once per pixel.
    uint8_t* out = planes_.colour.row(top);
    if (planes_.colour.pixelStep == 4) {
        for (int32_t k = 0; k < width; ++k) std::memcpy(out + 4 * k, &paletteWords_[slot[k]], 4);
    } else {
        for (int32_t k = 0; k < width; ++k) std::memcpy(out + 3 * k, &paletteWords_[slot[k]], 3);
    }
}

void MemoryReader::putAlphaRow(const uint8_t* slot, int32_t top, int32_t width) {
    const PlaneView& alpha = planes_.alpha;
    if (!alpha.first) return;  // decoded, and not wanted
    if (alpha.pixelStep == 1)
        std::memcpy(alpha.row(top), slot, static_cast<size_t>(width));
    else
        alphaIntoRgba(alpha.row(top), slot, width);
}

void MemoryReader::putSlotRow(uint8_t* slot, int32_t kind, int32_t top, int32_t width) {
    if (failed()) return;
    const bool known = (kind == ROW_KIND_INDEX && (planes_.indices.first || planes_.colour.first)) ||
                       (kind == ROW_KIND_ALPHA && planes_.colour.first);
    if (!known || !rowFits(top, width)) {
        fail(StreamFailure::RowRefused);
        return;
    }
    if (kind == ROW_KIND_INDEX)
        putIndexRow(slot, top, width);
    else
        putAlphaRow(slot, top, width);
    countRow(kind);
}

void MemoryReader::putRgbRow(RgbStage&, const uint16_t* pixels, const uint16_t*, int32_t top, int32_t width) {
    if (failed()) return;
    const PlaneView& colour = planes_.colour;
    if (!colour.first || !rowFits(top, width)) {
        fail(StreamFailure::RowRefused);
        return;
    }
    if (colour.pixelStep == 4)
        widenRgbaRow(colour.row(top), pixels, width);
    else
        widenRgbRow(colour.row(top), pixels, width);
    countRow(ROW_KIND_RGB);
}

// ---- writing ----

namespace {

// A large buffer's first touch costs a page fault per 4 KiB page, which on
// some machines takes longer than decoding the pixels that fill it. Where the
// system has transparent huge pages on request, a buffer too large for the C
// library to keep on its heap (it maps those afresh every time) is a mapping
// of our own that asks for them: one fault per 2 MiB. The request ends with
// the mapping, so it never outlives the buffer. Smaller buffers come from
// operator new, whose heap serves repeated calls without new faults. A header
// before each buffer says which it is.
constexpr size_t HUGE_PAGE_BYTES = size_t{2} << 20;
constexpr size_t HUGE_PAGES_FROM = size_t{32} << 20;  // the most the C library keeps on its heap
struct BufferHeader {
    size_t mappedBytes;                          // 0: from operator new
    unsigned char padding[16 - sizeof(size_t)];  // keeps the buffer as aligned as the block
};
static_assert(sizeof(BufferHeader) == 16);

#if defined(__linux__) && defined(MADV_HUGEPAGE)
BufferHeader* mapWithHugePages(size_t bytes) {
    void* mapping = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<uintptr_t>(mapping);
    const uintptr_t first = (start + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1);
    const uintptr_t last = (start + bytes) & ~(HUGE_PAGE_BYTES - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);  // a hint only
    return static_cast<BufferHeader*>(mapping);
}
#define QVR_HUGE_PAGES 1
#endif

}  // namespace

uint8_t* allocateBytes(size_t size) {
    if (size > SIZE_MAX - sizeof(BufferHeader)) return nullptr;
    const size_t bytes = sizeof(BufferHeader) + size;
    BufferHeader* header = nullptr;
#ifdef QVR_HUGE_PAGES
    if (size >= HUGE_PAGES_FROM) {
        header = mapWithHugePages(bytes);
        if (!header) return nullptr;
        header->mappedBytes = bytes;
        return reinterpret_cast<uint8_t*>(header + 1);
    }
#endif
    header = static_cast<BufferHeader*>(::operator new(bytes, std::nothrow));
    if (!header) return nullptr;
    header->mappedBytes = 0;
    return reinterpret_cast<uint8_t*>(header + 1);
}

void freeBytes(uint8_t* bytes) {
    if (!bytes) return;
    BufferHeader* header = reinterpret_cast<BufferHeader*>(bytes) - 1;
#ifdef QVR_HUGE_PAGES
    if (header->mappedBytes != 0) {
        ::munmap(header, header->mappedBytes);
        return;
    }
#endif
    ::operator delete(header);
}

MemoryWriter::MemoryWriter(size_t expectedSize) {
    const size_t capacity = expectedSize > 0 ? expectedSize : 1;
    data_ = allocateBytes(capacity);
    if (!data_) throw std::bad_alloc();
    cursor_ = data_;
    limit_ = data_ + capacity;
}

MemoryWriter::~MemoryWriter() { freeBytes(data_); }

void MemoryWriter::grow(size_t more) {
    const size_t at = position();
    const size_t capacity = static_cast<size_t>(limit_ - data_);
    size_t wanted = capacity + capacity / 2;
    if (wanted < at + more) wanted = at + more;
    uint8_t* bigger = allocateBytes(wanted);
    if (!bigger) throw std::bad_alloc();  // data_ is still ours, and freed by the destructor
    std::memcpy(bigger, data_, capacity);
    freeBytes(data_);
    data_ = bigger;
    cursor_ = data_ + at;
    limit_ = data_ + wanted;
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
    const int64_t target = seekWithin(offset, origin, static_cast<int64_t>(position()), static_cast<int64_t>(size_));
    if (target < 0) return -1;
    cursor_ = data_ + target;
    return static_cast<int32_t>(target);
}

void MemoryWriter::getAlphaRow(uint8_t* slot, int32_t top, int32_t width) {
    const PlaneView& alpha = planes_.alpha;
    if (alpha.pixelStep == 1)
        std::memcpy(slot, alpha.row(top), static_cast<size_t>(width));
    else
        alphaFromRgba(slot, alpha.row(top), width);
}

void MemoryWriter::getSlotRow(uint8_t* slot, int32_t kind, int32_t top, int32_t width) {
    if (failed()) return;
    const PlaneView& plane = kind == ROW_KIND_INDEX ? planes_.indices : planes_.alpha;
    if ((kind != ROW_KIND_INDEX && kind != ROW_KIND_ALPHA) || !plane.first || !rowFits(top, width)) {
        recordFailure(StreamFailure::RowRefused);
        return;
    }
    if (kind == ROW_KIND_INDEX)
        std::memcpy(slot, plane.row(top), static_cast<size_t>(width));
    else
        getAlphaRow(slot, top, width);
    countRow(kind);
}

void MemoryWriter::getRgbRow(RgbStage&, uint16_t* pixels, int32_t top, int32_t width) {
    const PlaneView& colour = planes_.colour;
    if (failed() || !colour.first || !rowFits(top, width)) {
        recordFailure(StreamFailure::RowRefused);
        std::memset(pixels, 0, static_cast<size_t>(width) * sizeof *pixels);
        return;
    }
    if (colour.pixelStep == 4)
        pixelsFromRgba(pixels, colour.row(top), width);
    else
        narrowRgbRow(pixels, colour.row(top), width);
    countRow(ROW_KIND_RGB);
}

size_t MemoryWriter::finish() {
    noteEnd();
    return size_;
}

uint8_t* MemoryWriter::release() {
    uint8_t* data = data_;
    data_ = nullptr;
    cursor_ = limit_ = nullptr;
    return data;
}

}  // namespace qvr
