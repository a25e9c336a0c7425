#include "streams/image_io.h"

#include <cstring>

#include "codec/writer.h"

namespace qvr {
namespace {

CodecContext contextFor(StreamBinding& stream) {
    CodecContext ctx{};
    ctx.procs = stream.procs();
    return ctx;
}

const char* planeName(int32_t depth, bool alpha) {
    if (alpha) return "alpha plane";
    return depth == 8 ? "index plane" : "colour plane";
}

std::string endedEarly(const StreamBinding& stream, const RasterImage& image) {
    const bool inAlpha = image.depth == 32 && stream.rowsMoved(ROW_KIND_RGB) == image.height;
    const int32_t kind = inAlpha ? ROW_KIND_ALPHA : image.depth == 8 ? ROW_KIND_INDEX : ROW_KIND_RGB;
    return std::string(describeFailure(stream.failure())) + " in the " +
           planeName(image.depth, inAlpha) + " at row " + std::to_string(stream.rowsMoved(kind)) +
           " of " + std::to_string(image.height);
}

}  // namespace

QvrInfo inspectQvr(StreamBinding& stream) {
    CodecContext ctx = contextFor(stream);
    QvrInfo info;
    info.valid = readHeader(&ctx, &info.header);
    if (info.valid) info.depth = info.header.bitsPerPixel == 8 ? 8 : info.header.auxOffset ? 32 : 24;
    return info;
}

std::string loadQvr(StreamBinding& stream, RasterImage& image) {
    CodecContext ctx = contextFor(stream);
    FileHeader header;
    if (!readInfo(&ctx, &header)) {
        if (stream.failure() == StreamFailure::ReadError) return describeFailure(stream.failure());
        return "not a QVR file (its header fails the format's tests)";
    }
    image.allocate(ctx.width, ctx.height, ctx.depth);
    std::memcpy(image.palette.data(), ctx.palette, sizeof ctx.palette);
    stream.attachImage(&image);
    const DecodeReport report = decodeImage(&ctx);
    stream.attachImage(nullptr);
    if (report.outcome == DecodeOutcome::FirstPlaneOverrun ||
        report.outcome == DecodeOutcome::AlphaOverrun) {
        const bool alpha = report.outcome == DecodeOutcome::AlphaOverrun;
        return "corrupt stream: row " + std::to_string(report.row) + " of the " +
               planeName(image.depth, alpha) + " runs past the image width";
    }
    if (stream.failure() != StreamFailure::None) return endedEarly(stream, image);
    return "";
}

std::string saveQvr(StreamBinding& stream, const RasterImage& image) {
    if (!imageSizeReadable(image.width, image.height))
        return "a QVR file holds 2 to 8191 columns and 1 to 8191 rows; this image is " +
               std::to_string(image.width) + " x " + std::to_string(image.height);
    CodecContext ctx = contextFor(stream);
    ctx.width = image.width;
    ctx.height = image.height;
    ctx.depth = image.depth;
    std::memcpy(ctx.palette, image.palette.data(), sizeof ctx.palette);
    stream.attachImage(const_cast<RasterImage*>(&image));  // rows are only read from it
    writeImage(&ctx);
    stream.attachImage(nullptr);
    if (stream.failure() != StreamFailure::None) return describeFailure(stream.failure());
    return "";
}

std::string loadQvrMemory(const uint8_t* data, size_t size, RasterImage& image) {
    MemoryStream stream(std::vector<uint8_t>(data, data + size));
    return loadQvr(stream, image);
}

std::string saveQvrMemory(const RasterImage& image, std::vector<uint8_t>& out) {
    MemoryStream stream;
    const std::string problem = saveQvr(stream, image);
    out = stream.bytes();
    return problem;
}

}  // namespace qvr
