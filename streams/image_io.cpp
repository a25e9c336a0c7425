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

// What the binding recorded, with the system's reason when it gave one.
std::string failureText(const StreamBinding& stream) {
    std::string text = describeFailure(stream.failure());
    if (stream.systemError() != 0) text += std::string(" (") + std::strerror(stream.systemError()) + ")";
    return text;
}

std::string endedEarly(const StreamBinding& stream, const RasterImage& image) {
    const bool inAlpha = image.depth == 32 && stream.rowsMoved(ROW_KIND_RGB) == image.height;
    const int32_t kind = inAlpha ? ROW_KIND_ALPHA : image.depth == 8 ? ROW_KIND_INDEX : ROW_KIND_RGB;
    return failureText(stream) + " in the " +
           planeName(image.depth, inAlpha) + " at row " + std::to_string(stream.rowsMoved(kind)) +
           " of " + std::to_string(image.height);
}

// Which of the header's offsets a failed seek asked for, with its value.
std::string offsetOutside(const StreamBinding& stream, const FileHeader& header) {
    const int32_t target = static_cast<int32_t>(stream.failedSeekTarget());
    const bool data = target == static_cast<int32_t>(header.dataOffset);
    const uint32_t value = data ? header.dataOffset : header.auxOffset;
    const char* name = data ? "data offset" : header.bitsPerPixel == 8 ? "palette offset" : "alpha plane offset";
    return std::string("damaged file: the ") + name + " " + std::to_string(value) + " lies outside the file";
}

std::string planesProblem(const RasterImage& image) {
    const size_t pixels = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
    if (image.depth != 8 && image.depth != 24 && image.depth != 32)
        return "depth " + std::to_string(image.depth) + " is not 8, 24 or 32";
    const bool fits = image.indices.size() >= (image.depth == 8 ? pixels : 0) &&
                      image.rgb.size() >= (image.depth == 8 ? 0 : 3 * pixels) &&
                      image.alpha.size() >= (image.depth == 32 ? pixels : 0);
    if (fits) return "";
    return "the image's planes are smaller than " + std::to_string(image.width) + " x " +
           std::to_string(image.height) + " at depth " + std::to_string(image.depth) + " needs";
}

}  // namespace

QvrInfo inspectQvr(StreamBinding& stream) {
    CodecContext ctx = contextFor(stream);
    QvrInfo info;
    info.valid = readHeader(&ctx, &info.header);
    if (!info.valid) return info;
    const FileHeader& h = info.header;
    info.depth = h.bitsPerPixel == 8 ? 8 : h.auxOffset ? 32 : 24;
    ctx.procs.seek(ctx.procs.userData, static_cast<int32_t>(h.dataOffset), SEEK_FROM_START);
    if (info.depth != 24) ctx.procs.seek(ctx.procs.userData, static_cast<int32_t>(h.auxOffset), SEEK_FROM_START);
    if (stream.failure() == StreamFailure::SeekOutside) info.offsetProblem = offsetOutside(stream, h);
    ctx.procs.seek(ctx.procs.userData, 0, SEEK_FROM_START);
    return info;
}

std::string loadQvr(StreamBinding& stream, RasterImage& image) {
    CodecContext ctx = contextFor(stream);
    FileHeader header;
    if (!readInfo(&ctx, &header)) {
        if (stream.failure() == StreamFailure::ReadError) return failureText(stream);
        return "not a QVR file (its header fails the format's tests)";
    }
    if (stream.failure() == StreamFailure::SeekOutside) return offsetOutside(stream, header);
    image.allocate(ctx.width, ctx.height, ctx.depth);
    std::memcpy(image.palette.data(), ctx.palette, sizeof ctx.palette);
    stream.attachImage(&image);
    const DecodeReport report = decodeImage(&ctx);
    stream.attachImage(nullptr);
    if (stream.failure() == StreamFailure::SeekOutside) return offsetOutside(stream, header);
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
    const std::string planes = planesProblem(image);
    if (!planes.empty()) return planes;
    CodecContext ctx = contextFor(stream);
    ctx.width = image.width;
    ctx.height = image.height;
    ctx.depth = image.depth;
    std::memcpy(ctx.palette, image.palette.data(), sizeof ctx.palette);
    stream.attachImage(const_cast<RasterImage*>(&image));  // rows are only read from it
    writeImage(&ctx);
    stream.attachImage(nullptr);
    if (stream.failure() != StreamFailure::None) return failureText(stream);
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
