// Fuzz target: the codec's decodeImage() over a memory stream. Checks the row
// contract as well as memory safety: rows arrive in order, one at a time, with
// the header's width, and never after the stream's first failure; then
// loadQvrMemory(), and the memory path into one RGBA buffer, against the
// general path (loadQvr() over the same bytes, the decode whose rows were
// checked).
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/reader.h"
#include "fuzz_limits.h"
#include "streams/image_io.h"
#include "streams/stream_binding.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// A memory stream whose table checks every row the codec hands over before
// the stream takes it.
class CheckedStream : public qvr::MemoryStream {
public:
    CheckedStream(const std::vector<uint8_t>& bytes, int32_t width) : MemoryStream(bytes), width_(width) {}

    qvr::StreamProcs procs() override {
        inner_ = MemoryStream::procs();
        return qvr::StreamProcs{this, forwardRead, nullptr, forwardSeek, checkedPutRows, nullptr, forwardProgress};
    }
    // Rows handed over per kind (index, RGB, alpha), taken or not.
    int32_t rowsOffered(int32_t slot) const { return nextRow_[slot]; }

private:
    static CheckedStream* of(void* u) { return static_cast<CheckedStream*>(u); }
    static int32_t checkedPutRows(void* u, void* buffer, int32_t rowBytes, int32_t kind, int32_t left, int32_t top,
                                  int32_t width, int32_t height) {
        CheckedStream* self = of(u);
        const int32_t slot = kind == qvr::ROW_KIND_INDEX ? 0 : kind == qvr::ROW_KIND_RGB ? 1 : 2;
        check(kind == qvr::ROW_KIND_INDEX || kind == qvr::ROW_KIND_RGB || kind == qvr::ROW_KIND_ALPHA);
        check(left == 0 && height == 1 && width == self->width_ && top == self->nextRow_[slot]);
        check(rowBytes == (kind == qvr::ROW_KIND_RGB ? qvr::RGB_ROW_BYTES : qvr::ROW_SLOT_SAMPLES));
        ++self->nextRow_[slot];
        return self->inner_.putRows(self->inner_.userData, buffer, rowBytes, kind, left, top, width, height);
    }
    static int32_t forwardRead(void* u, void* b, int32_t n) { return of(u)->inner_.read(of(u)->inner_.userData, b, n); }
    static int32_t forwardSeek(void* u, int32_t o, int32_t origin) {
        return of(u)->inner_.seek(of(u)->inner_.userData, o, origin);
    }
    static int32_t forwardProgress(void* u, int32_t d, int32_t t) {
        return of(u)->inner_.progress(of(u)->inner_.userData, d, t);
    }

    int32_t width_;
    int32_t nextRow_[3] = {0, 0, 0};
    qvr::StreamProcs inner_{};
};

// The general path's image as RGBA pixels: palette colours for indices, 255
// where there is no alpha.
std::vector<uint8_t> rgbaOf(const qvr::RasterImage& image) {
    const size_t pixels = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
    std::vector<uint8_t> out(4 * pixels);
    for (size_t i = 0; i < pixels; ++i) {
        const uint8_t* colour = image.depth == 8 ? &image.palette[3 * image.indices[i]] : &image.rgb[3 * i];
        std::memcpy(&out[4 * i], colour, 3);
        out[4 * i + 3] = image.depth == 32 ? image.alpha[i] : 255;
    }
    return out;
}

// The memory path into one RGBA buffer, as the library asks for it.
std::string decodeRgba(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
    return qvr::decodeQvrMemory(data, size, [&](const qvr::CodecContext& ctx) {
        out.resize(4 * static_cast<size_t>(ctx.width) * static_cast<size_t>(ctx.height));
        qvr::PixelPlanes planes;
        planes.width = ctx.width;
        planes.height = ctx.height;
        planes.colour = {out.data(), 4, 4 * static_cast<size_t>(ctx.width)};
        planes.alpha = {out.data() + 3, 4, planes.colour.rowStep};
        planes.palette = ctx.palette;
        return planes;
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    qvr::MemoryStream probe(bytes);  // a stream of its own: a failure here must not carry over
    qvr::CodecContext ctx{};
    ctx.procs = probe.procs();
    qvr::FileHeader header;
    if (!qvr::readInfo(&ctx, &header)) {
        check(qvr::decodeImage(&ctx).outcome == qvr::DecodeOutcome::BadHeader);
        return 0;
    }
    if (static_cast<uint64_t>(ctx.width) * static_cast<uint64_t>(ctx.height) > MAX_FUZZ_PIXELS) return 0;

    CheckedStream stream(bytes, ctx.width);
    qvr::RasterImage general;
    const std::string generalProblem = qvr::loadQvr(stream, general);
    check(generalProblem != qvr::NOT_QVR_TEXT);  // the same bytes, the same header
    // Every row the codec handed over that the binding took is in the image;
    // after the binding's first failure it takes none.
    const int32_t moved = stream.rowsMoved(qvr::ROW_KIND_INDEX) + stream.rowsMoved(qvr::ROW_KIND_RGB) +
                          stream.rowsMoved(qvr::ROW_KIND_ALPHA);
    check(moved <= stream.rowsOffered(0) + stream.rowsOffered(1) + stream.rowsOffered(2));
    // A first plane that runs past the width ends the decode before the alpha
    // plane: alpha rows only ever follow every colour row.
    if (stream.rowsOffered(2) > 0) check(stream.rowsOffered(1) == ctx.height);

    // The memory path reads the same pixels with the same message.
    qvr::RasterImage fast;
    const std::string fastProblem = qvr::loadQvrMemory(data, size, fast);
    check(fastProblem == generalProblem);
    check(fast.indices == general.indices && fast.rgb == general.rgb && fast.alpha == general.alpha);
    std::vector<uint8_t> rgba;
    check(decodeRgba(data, size, rgba) == generalProblem);
    if (generalProblem.empty()) check(rgba == rgbaOf(general));
    return 0;
}
