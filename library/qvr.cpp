// The public C API over the stream bindings: argument checks, the caller's
// pixel limit, conversions between the file's planes and the caller's
// layouts, and error codes. Allocation failures end as QVR_ERROR_OUT_OF_MEMORY.
#include "qvr/qvr.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "library/checks.h"
#include "library/file_io.h"
#include "library/rules.h"

static_assert(QVR_HEADER_BYTES == qvr::HEADER_BYTES);
static_assert(QVR_SIGNATURE[0] == qvr::QVR_MAGIC_0 && QVR_SIGNATURE[1] == qvr::QVR_MAGIC_1 &&
              QVR_SIGNATURE[2] == qvr::QVR_VERSION && QVR_SIGNATURE[3] == 0 && QVR_SIGNATURE[4] == qvr::HEADER_BYTES &&
              QVR_SIGNATURE[5] == 0 && QVR_SIGNATURE_BYTES == 6);
#include "streams/image_io.h"

namespace {

using namespace qvr::api;

int32_t depthOf(qvr_format format) { return format == QVR_FORMAT_INDEXED ? 8 : format == QVR_FORMAT_RGB ? 24 : 32; }

// The planes of a caller's buffer of `format` pixels, `channels` bytes each:
// colour from its first byte, alpha (RGBA) from its fourth.
qvr::PixelPlanes planesIn(uint8_t* pixels, qvr_format format, int32_t width, int32_t height) {
    qvr::PixelPlanes planes;
    planes.width = width;
    planes.height = height;
    const int32_t channels = qvr_format_channels(format);
    const qvr::PlaneView whole{pixels, channels, static_cast<size_t>(width) * static_cast<size_t>(channels)};
    if (format == QVR_FORMAT_INDEXED)
        planes.indices = whole;
    else
        planes.colour = whole;
    if (format == QVR_FORMAT_RGBA) planes.alpha = {pixels + 3, 4, whole.rowStep};
    return planes;
}

using Owned = std::unique_ptr<uint8_t, decltype(&qvr::freeBytes)>;

// Decodes straight into a buffer of the caller's layout: colour rows are
// widened into it, alpha rows land in its fourth bytes, index rows are
// expanded through the palette when colours are asked for.
qvr_error decodeBytes(const uint8_t* data, size_t size, qvr_format format, const qvr_limits* limits, qvr_image* out) {
    qvr_info info;
    const qvr_error error = admit(data, size, format, limits, &info);
    if (error != QVR_OK) return error;
    if (size < spanOf(data).least) return QVR_ERROR_DAMAGED;  // too short for its rows: no pixels spent
    const qvr_format chosen = format == QVR_FORMAT_AUTO ? nativeFormat(info.kind) : format;
    const size_t bytes =
        static_cast<size_t>(info.width) * info.height * static_cast<size_t>(qvr_format_channels(chosen));
    Owned pixels(qvr::allocateBytes(bytes), &qvr::freeBytes);
    if (!pixels) return QVR_ERROR_OUT_OF_MEMORY;
    uint8_t palette[sizeof out->palette];
    const std::string problem = qvr::decodeQvrMemory(data, size, [&](const qvr::CodecContext& ctx) {
        std::memcpy(palette, ctx.palette, sizeof palette);
        qvr::PixelPlanes planes = planesIn(pixels.get(), chosen, ctx.width, ctx.height);
        planes.palette = ctx.palette;
        return planes;
    });
    if (!problem.empty()) return QVR_ERROR_DAMAGED;
    std::memcpy(out->palette, palette, sizeof out->palette);
    out->width = info.width;
    out->height = info.height;
    out->format = chosen;
    out->pixels = pixels.release();
    return QVR_OK;
}

// A field's value as the caller stored it: a caller built against a later
// header may store a value this version's enumeration does not hold.
template <typename Enum>
int storedValue(const Enum& field) {
    static_assert(sizeof(Enum) == sizeof(int));
    int value;
    std::memcpy(&value, &field, sizeof value);
    return value;
}

bool knownOptions(const qvr_encode_options* options) {
    if (options == nullptr) return true;
    const int colours = storedValue(options->colours), alpha = storedValue(options->alpha);
    return (colours == QVR_COLOURS_RENUMBER || colours == QVR_COLOURS_REFUSE) &&
           (alpha == QVR_ALPHA_AUTO || alpha == QVR_ALPHA_KEEP || alpha == QVR_ALPHA_DROP) && reservedClear(options);
}

// Encodes straight from the caller's pixels into a buffer for qvr_free(),
// after the rules: an RGBA image without a pixel short of opaque goes out
// without alpha (unless kept), and indices that would change colour are
// renumbered in a copy (or refused).
qvr_error encodeBytes(const qvr_image* image, const qvr_encode_options* options, uint8_t** data, size_t* size) {
    if (image == nullptr || image->pixels == nullptr || qvr_format_channels(image->format) == 0 ||
        !knownOptions(options))
        return QVR_ERROR_INVALID_ARGUMENT;
    if (!qvr::imageSizeReadable(image->width, image->height)) return QVR_ERROR_SIZE_UNSUPPORTED;
    const qvr_encode_options chosen = options != nullptr ? *options : qvr_encode_options{};
    qvr::CodecContext ctx{};
    ctx.width = static_cast<int32_t>(image->width);
    ctx.height = static_cast<int32_t>(image->height);
    ctx.depth = depthOf(image->format);
    const size_t count = static_cast<size_t>(image->width) * image->height;
    qvr::PixelPlanes planes = planesIn(image->pixels, image->format, ctx.width, ctx.height);
    std::vector<uint8_t> renumbered;
    if (ctx.depth == 8) {
        std::memcpy(ctx.palette, image->palette, sizeof ctx.palette);
        if (!qvr::indicesKeepTheirColours(image->pixels, count, image->palette)) {
            if (chosen.colours == QVR_COLOURS_REFUSE) return QVR_ERROR_COLOURS;
            renumbered.resize(count);
            if (!qvr::renumberColours(image->pixels, count, image->palette, renumbered.data(), ctx.palette))
                return QVR_ERROR_COLOURS;
            planes.indices.first = renumbered.data();
        }
    } else if (ctx.depth == 32 && chosen.alpha != QVR_ALPHA_KEEP &&
               (chosen.alpha == QVR_ALPHA_DROP || !qvr::anyTranslucent(image->pixels + 3, count, 4))) {
        ctx.depth = 24;
        planes.alpha = {};
    }
    if (!qvr::encodeQvrMemory(ctx, planes, data, size).empty()) return QVR_ERROR_WRITE;
    return QVR_OK;
}

}  // namespace

extern "C" {

const char* qvr_error_string(qvr_error code) {
    switch (code) {
    case QVR_OK: return "success";
    case QVR_ERROR_INVALID_ARGUMENT: return "invalid argument";
    case QVR_ERROR_NOT_QVR: return qvr::NOT_QVR_TEXT;
    case QVR_ERROR_DAMAGED: return "damaged QVR file: the pixel data is corrupt or ends too early";
    case QVR_ERROR_TOO_LARGE: return "the image has more pixels than the limit allows";
    case QVR_ERROR_SIZE_UNSUPPORTED: return qvr::SIZE_RANGE_TEXT;
    case QVR_ERROR_CONVERSION: return "a 16 bpp QVR file has no palette indices to give";
    case QVR_ERROR_OUT_OF_MEMORY: return "out of memory";
    case QVR_ERROR_OPEN: return "the file cannot be opened or created";
    case QVR_ERROR_READ: return "the file cannot be read";
    case QVR_ERROR_WRITE: return "the file cannot be written (is the disk full?)";
    case QVR_ERROR_COLOURS: return qvr::TOO_MANY_COLOURS_TEXT;
    case QVR_ERROR_CANCELLED: return "reading was cancelled by the caller";
    }
    return "unknown error code";
}

uint32_t qvr_version(void) { return QVR_HEADER_VERSION; }

qvr_error qvr_file_span(const void* data, size_t size, uint64_t* least, uint64_t* most) {
    if ((data == nullptr && size != 0) || least == nullptr || most == nullptr) return QVR_ERROR_INVALID_ARGUMENT;
    *least = *most = 0;
    qvr_info info;
    const qvr_error error = headerInfo(static_cast<const uint8_t*>(data), size, &info);
    if (error != QVR_OK) return error;
    const qvr::FileSpan span = spanOf(static_cast<const uint8_t*>(data));
    *least = span.least;
    *most = span.most;
    return QVR_OK;
}

qvr_error qvr_read_info_memory(const void* data, size_t size, qvr_info* info) {
    if ((data == nullptr && size != 0) || info == nullptr) return QVR_ERROR_INVALID_ARGUMENT;
    *info = qvr_info{};
    return guarded([&] { return headerInfo(static_cast<const uint8_t*>(data), size, info); });
}

qvr_error qvr_read_info_file(const char* path, qvr_info* info) {
    if (path == nullptr || info == nullptr) return QVR_ERROR_INVALID_ARGUMENT;
    *info = qvr_info{};
    return guarded([&] {
        std::vector<uint8_t> header;
        const qvr_error error = qvr::readFilePrefix(path, qvr::HEADER_BYTES, header);
        return error != QVR_OK ? error : headerInfo(header.data(), header.size(), info);
    });
}

qvr_error qvr_decode_memory(const void* data, size_t size, qvr_format format, const qvr_limits* limits,
                            qvr_image* out) {
    if (out == nullptr) return QVR_ERROR_INVALID_ARGUMENT;
    *out = qvr_image{};
    if ((data == nullptr && size != 0) || !knownOutputFormat(format)) return QVR_ERROR_INVALID_ARGUMENT;
    return guarded([&] { return decodeBytes(static_cast<const uint8_t*>(data), size, format, limits, out); });
}

qvr_error qvr_decode_file(const char* path, qvr_format format, const qvr_limits* limits, qvr_image* out) {
    if (out == nullptr) return QVR_ERROR_INVALID_ARGUMENT;
    *out = qvr_image{};
    if (path == nullptr || !knownOutputFormat(format)) return QVR_ERROR_INVALID_ARGUMENT;
    return guarded([&] {
        // The header first, so that a refused image costs no more than 48 bytes of
        // reading; then no more than the header lets the planes use.
        std::vector<uint8_t> bytes;
        qvr_error error = qvr::readFilePrefix(path, qvr::HEADER_BYTES, bytes);
        qvr_info info;
        if (error == QVR_OK) error = admit(bytes.data(), bytes.size(), format, limits, &info);
        if (error == QVR_OK) {
            const uint64_t most = spanOf(bytes.data()).most;
            error = qvr::readFilePrefix(path, most < SIZE_MAX ? static_cast<size_t>(most) : SIZE_MAX, bytes);
        }
        return error != QVR_OK ? error : decodeBytes(bytes.data(), bytes.size(), format, limits, out);
    });
}

qvr_error qvr_encode_memory_with(const qvr_image* image, const qvr_encode_options* options, void** data, size_t* size) {
    if (data == nullptr || size == nullptr) return QVR_ERROR_INVALID_ARGUMENT;
    *data = nullptr;
    *size = 0;
    return guarded([&] {
        uint8_t* bytes = nullptr;
        const qvr_error error = encodeBytes(image, options, &bytes, size);
        *data = bytes;
        return error;
    });
}

qvr_error qvr_encode_file_with(const qvr_image* image, const qvr_encode_options* options, const char* path) {
    if (path == nullptr || path[0] == '\0') return QVR_ERROR_INVALID_ARGUMENT;
    return guarded([&] {
        uint8_t* bytes = nullptr;
        size_t size = 0;
        const qvr_error error = encodeBytes(image, options, &bytes, &size);
        const Owned owned(bytes, &qvr::freeBytes);
        return error != QVR_OK ? error : qvr::replaceFile(path, bytes, size);
    });
}

qvr_error qvr_encode_memory(const qvr_image* image, void** data, size_t* size) {
    return qvr_encode_memory_with(image, nullptr, data, size);
}

qvr_error qvr_encode_file(const qvr_image* image, const char* path) {
    return qvr_encode_file_with(image, nullptr, path);
}

void qvr_free(void* memory) { qvr::freeBytes(static_cast<uint8_t*>(memory)); }

}  // extern "C"
