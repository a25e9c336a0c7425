#include "streams/image_io.h"

#include <cstring>
#include <memory>
#include <new>

#include "codec/internal/line_decoder.h"
#include "codec/internal/line_encoder.h"
#include "codec/internal/callback_stream.h"
#include "codec/writer.h"

namespace qvr {
namespace {

const char* planeName(int32_t depth, bool alpha) {
    if (alpha) return "alpha plane";
    return depth == 8 ? "index plane" : "colour plane";
}

// The loader and saver over any pair of a stream type the line coders run on
// and the binding that records failures and rows (for the memory path, one
// object is both).

// What the binding recorded, with the system's reason when it gave one.
template <typename Binding>
std::string failureText(const Binding& binding) {
    std::string text = describeFailure(binding.failure());
    if (binding.systemError() != 0) text += std::string(" (") + std::strerror(binding.systemError()) + ")";
    return text;
}

template <typename Binding>
std::string endedEarly(const Binding& binding, const CodecContext& ctx) {
    const bool inAlpha = ctx.depth == 32 && binding.rowsMoved(ROW_KIND_RGB) == ctx.height;
    const int32_t kind = inAlpha ? ROW_KIND_ALPHA : ctx.depth == 8 ? ROW_KIND_INDEX : ROW_KIND_RGB;
    return failureText(binding) + " in the " + planeName(ctx.depth, inAlpha) + " at row " +
           std::to_string(binding.rowsMoved(kind)) + " of " + std::to_string(ctx.height);
}

// Which of the header's offsets a failed seek asked for, with its value.
template <typename Binding>
std::string offsetOutside(const Binding& binding, const FileHeader& header) {
    const int64_t target = binding.failedSeekTarget();
    const bool data = target == static_cast<int64_t>(header.dataOffset);
    const uint32_t value = data ? header.dataOffset : header.auxOffset;
    const char* name = data ? "data offset" : header.bitsPerPixel == 8 ? "palette offset" : "alpha plane offset";
    return std::string("damaged file: the ") + name + " " + std::to_string(value) + " lies outside the file";
}

// Reads the header, lets `attach` give the binding somewhere for the rows
// once the size, depth and palette are known, and decodes.
template <typename Stream, typename Binding, typename Attach>
std::string load(Stream& in, Binding& binding, Attach attach) {
    CodecContext ctx{};
    FileHeader header;
    if (!readInfoFrom(in, &ctx, &header)) {
        if (binding.failure() == StreamFailure::ReadError) return failureText(binding);
        return NOT_QVR_TEXT;
    }
    if (binding.failure() == StreamFailure::SeekOutside) return offsetOutside(binding, header);
    attach(ctx);
    const DecodeReport report = decodeImageFrom(in, &ctx);
    if (binding.failure() == StreamFailure::SeekOutside) return offsetOutside(binding, header);
    if (report.outcome == DecodeOutcome::FirstPlaneOverrun || report.outcome == DecodeOutcome::AlphaOverrun) {
        const bool alpha = report.outcome == DecodeOutcome::AlphaOverrun;
        return "corrupt stream: row " + std::to_string(report.row) + " of the " + planeName(ctx.depth, alpha) +
               " runs past the image width";
    }
    if (binding.failure() != StreamFailure::None) return endedEarly(binding, ctx);
    return "";
}

// Sizes `image` for the file and copies its palette in.
void prepareImage(RasterImage& image, const CodecContext& ctx) {
    image.allocate(ctx.width, ctx.height, ctx.depth);
    std::memcpy(image.palette.data(), ctx.palette, sizeof ctx.palette);
}

std::string unreadableSize(const RasterImage& image) {
    return std::string(SIZE_RANGE_TEXT) + "; this image is " + std::to_string(image.width) + " x " +
           std::to_string(image.height);
}

std::string planesProblem(const RasterImage& image) {
    const size_t pixels = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
    if (image.depth != 8 && image.depth != 24 && image.depth != 32)
        return "depth " + std::to_string(image.depth) + " is not 8, 24 or 32";
    const bool fits = image.indices.size() >= (image.depth == 8 ? pixels : 0) &&
                      image.rgb.size() >= (image.depth == 8 ? 0 : 3 * pixels) &&
                      image.alpha.size() >= (image.depth == 32 ? pixels : 0);
    if (fits) return "";
    return "the image's planes are smaller than " + std::to_string(image.width) + " x " + std::to_string(image.height) +
           " at depth " + std::to_string(image.depth) + " needs";
}

// Why `image` cannot be written, or "".
std::string unwritable(const RasterImage& image) {
    if (!imageSizeReadable(image.width, image.height)) return unreadableSize(image);
    return planesProblem(image);
}

CodecContext contextFor(const RasterImage& image) {
    CodecContext ctx{};
    ctx.width = image.width;
    ctx.height = image.height;
    ctx.depth = image.depth;
    std::memcpy(ctx.palette, image.palette.data(), sizeof ctx.palette);
    return ctx;
}

}  // namespace

QvrInfo inspectQvr(StreamBinding& stream) {
    CodecContext ctx{};
    ctx.procs = stream.procs();
    QvrInfo info;
    info.valid = readHeader(&ctx, &info.header);
    if (!info.valid) return info;
    const FileHeader& h = info.header;
    info.depth = depthOfHeader(h);
    ctx.procs.seek(ctx.procs.userData, static_cast<int32_t>(h.dataOffset), SEEK_FROM_START);
    if (info.depth != 24) ctx.procs.seek(ctx.procs.userData, static_cast<int32_t>(h.auxOffset), SEEK_FROM_START);
    if (stream.failure() == StreamFailure::SeekOutside) info.offsetProblem = offsetOutside(stream, h);
    ctx.procs.seek(ctx.procs.userData, 0, SEEK_FROM_START);
    return info;
}

std::string loadQvr(StreamBinding& stream, RasterImage& image) {
    CallbackStream in{stream.procs()};
    const std::string problem = load(in, stream, [&](const CodecContext& ctx) {
        prepareImage(image, ctx);
        stream.attachImage(&image);
    });
    stream.attachImage(nullptr);
    return problem;
}

std::string loadQvrMemory(const uint8_t* data, size_t size, RasterImage& image) {
    MemoryReader in(data, size);
    return load(in, in, [&](const CodecContext& ctx) {
        prepareImage(image, ctx);
        in.attach(planesOf(image));
    });
}

std::string decodeQvrMemory(const uint8_t* data, size_t size,
                            const std::function<PixelPlanes(const CodecContext&)>& planesFor) {
    MemoryReader in(data, size);
    return load(in, in, [&](const CodecContext& ctx) { in.attach(planesFor(ctx)); });
}

std::string saveQvr(StreamBinding& stream, const RasterImage& image) {
    const std::string problem = unwritable(image);
    if (!problem.empty()) return problem;
    CodecContext ctx = contextFor(image);
    ctx.procs = stream.procs();
    stream.attachImage(const_cast<RasterImage*>(&image));  // rows are only read from it
    writeImage(&ctx);
    stream.attachImage(nullptr);
    if (stream.failure() != StreamFailure::None) return failureText(stream);
    return "";
}

std::string encodeQvrMemory(const CodecContext& ctx, const PixelPlanes& planes, uint8_t** data, size_t* size,
                            ProgressReport report, void* reportContext) {
    *data = nullptr;
    *size = 0;
    const size_t pixels = static_cast<size_t>(ctx.width) * static_cast<size_t>(ctx.height);
    // A first guess at the file's size, so that the output rarely grows: about
    // what a photograph takes.
    const size_t expected =
        ctx.depth == 8 ? INDEXED_DATA_OFFSET + pixels : HEADER_BYTES + 2 * pixels + (ctx.depth == 32 ? pixels : 0);
    MemoryWriter writer(expected);
    writer.attach(planes);
    writer.onProgress(report, reportContext);
    writeImageTo(writer, ctx);
    if (writer.failure() != StreamFailure::None) return failureText(writer);
    *size = writer.finish();
    *data = writer.release();
    return "";
}

std::string saveQvrMemory(const RasterImage& image, OwnedBytes& out, ProgressReport report, void* reportContext) {
    out = OwnedBytes{};
    const std::string problem = unwritable(image);
    if (!problem.empty()) return problem;
    try {
        uint8_t* data = nullptr;
        // Rows are only read from the image.
        const std::string failure = encodeQvrMemory(contextFor(image), planesOf(const_cast<RasterImage&>(image)), &data,
                                                    &out.size, report, reportContext);
        out.data.reset(data);
        if (!failure.empty()) out.size = 0;
        return failure;
    } catch (const std::bad_alloc&) {
        out = OwnedBytes{};
        return "out of memory for the file's bytes";
    }
}

std::string saveQvrMemory(const RasterImage& image, std::vector<uint8_t>& out, ProgressReport report,
                          void* reportContext) {
    out.clear();
    OwnedBytes bytes;
    const std::string problem = saveQvrMemory(image, bytes, report, reportContext);
    if (!problem.empty()) return problem;
    try {
        out.assign(bytes.data.get(), bytes.data.get() + bytes.size);
        return "";
    } catch (const std::bad_alloc&) {
        return "out of memory for the file's bytes";
    }
}

RasterImage keptByQvr(const RasterImage& image) {
    RasterImage kept = image;
    for (uint8_t& v : kept.indices) v = keptSample(v);
    for (uint8_t& v : kept.alpha) v = keptSample(v);
    for (size_t i = 0; i < kept.rgb.size(); ++i)
        kept.rgb[i] = i % 3 == 1 ? keptGreen(kept.rgb[i]) : keptRedOrBlue(kept.rgb[i]);
    if (kept.depth == 8) forcePaletteWhite(kept.palette.data());
    return kept;
}

}  // namespace qvr
