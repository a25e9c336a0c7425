// Fuzz target: the codec's decodeImage() over a memory stream. Checks the row
// contract as well as memory safety: rows arrive in order, one at a time, with
// the header's width, and never after the stream's first failure; then
// loadQvrMemory(), and the memory path into one RGBA buffer, against
// loadQvr() over the same bytes.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/reader.h"
#include "fuzz_limits.h"
#include "streams/image_io.h"
#include "streams/stream_binding.h"

namespace {

struct RowChecker {
    qvr::MemoryStream* stream;
    int32_t width = 0;
    int32_t nextRow[3] = {0, 0, 0};
    qvr::StreamProcs inner;
};

void check(bool condition) {
    if (!condition) std::abort();
}

int32_t checkedPutRows(void* userData, void* buffer, int32_t rowBytes, int32_t kind, int32_t left,
                       int32_t top, int32_t width, int32_t height) {
    auto* checker = static_cast<RowChecker*>(userData);
    const int32_t slot = kind == qvr::ROW_KIND_INDEX ? 0 : kind == qvr::ROW_KIND_RGB ? 1 : 2;
    check(kind == qvr::ROW_KIND_INDEX || kind == qvr::ROW_KIND_RGB || kind == qvr::ROW_KIND_ALPHA);
    check(left == 0 && height == 1 && width == checker->width && top == checker->nextRow[slot]);
    check(rowBytes == (kind == qvr::ROW_KIND_RGB ? qvr::RGB_ROW_BYTES : qvr::ROW_SLOT_SAMPLES));
    ++checker->nextRow[slot];
    return checker->inner.putRows(checker->inner.userData, buffer, rowBytes, kind, left, top, width, height);
}

int32_t forwardRead(void* u, void* b, int32_t n) {
    auto* c = static_cast<RowChecker*>(u);
    return c->inner.read(c->inner.userData, b, n);
}
int32_t forwardSeek(void* u, int32_t o, int32_t origin) {
    auto* c = static_cast<RowChecker*>(u);
    return c->inner.seek(c->inner.userData, o, origin);
}
int32_t forwardProgress(void* u, int32_t d, int32_t t) {
    auto* c = static_cast<RowChecker*>(u);
    return c->inner.progress(c->inner.userData, d, t);
}

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
    qvr::MemoryStream stream(bytes);
    if (static_cast<uint64_t>(ctx.width) * static_cast<uint64_t>(ctx.height) > MAX_FUZZ_PIXELS) return 0;
    qvr::RasterImage image;
    image.allocate(ctx.width, ctx.height, ctx.depth);
    stream.attachImage(&image);

    RowChecker checker{&stream, ctx.width, {0, 0, 0}, stream.procs()};
    ctx.procs = qvr::StreamProcs{&checker, forwardRead, nullptr, forwardSeek, checkedPutRows,
                                 nullptr, forwardProgress};
    const qvr::DecodeReport report = qvr::decodeImage(&ctx);
    check(report.outcome != qvr::DecodeOutcome::BadHeader);  // the same bytes, the same header
    // Every row the codec handed over that the binding took is in the image;
    // after the binding's first failure it takes none.
    const int32_t moved = stream.rowsMoved(qvr::ROW_KIND_INDEX) + stream.rowsMoved(qvr::ROW_KIND_RGB) +
                          stream.rowsMoved(qvr::ROW_KIND_ALPHA);
    check(moved <= checker.nextRow[0] + checker.nextRow[1] + checker.nextRow[2]);
    if (report.outcome == qvr::DecodeOutcome::FirstPlaneOverrun) check(checker.nextRow[2] == 0);

    // The memory path reads the same pixels with the same message.
    qvr::MemoryStream again(bytes);
    qvr::RasterImage general, fast;
    const std::string generalProblem = qvr::loadQvr(again, general);
    const std::string fastProblem = qvr::loadQvrMemory(data, size, fast);
    check(fastProblem == generalProblem);
    check(fast.indices == general.indices && fast.rgb == general.rgb && fast.alpha == general.alpha);
    std::vector<uint8_t> rgba;
    check(decodeRgba(data, size, rgba) == generalProblem);
    if (generalProblem.empty()) check(rgba == rgbaOf(general));
    return 0;
}
