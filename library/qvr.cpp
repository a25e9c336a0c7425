// The public C API over the stream bindings: argument checks, the caller's
// pixel limit, conversions between the file's planes and the caller's
// layouts, and error codes. Allocation failures end as QVR_ERROR_OUT_OF_MEMORY.
#include "qvr/qvr.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "library/file_io.h"
#include "streams/image_io.h"

namespace {

using qvr::RasterImage;

bool knownOutputFormat(qvr_format format) {
    return format == QVR_FORMAT_AUTO || qvr_format_channels(format) != 0;
}

qvr_format nativeFormat(qvr_kind kind) {
    switch (kind) {
    case QVR_KIND_INDEXED: return QVR_FORMAT_INDEXED;
    case QVR_KIND_RGB: return QVR_FORMAT_RGB;
    case QVR_KIND_RGBA: return QVR_FORMAT_RGBA;
    }
    return QVR_FORMAT_AUTO;
}

int32_t depthOf(qvr_format format) {
    return format == QVR_FORMAT_INDEXED ? 8 : format == QVR_FORMAT_RGB ? 24 : 32;
}

// Runs `body`, turning the exceptions an allocation may throw into an error code.
template <typename Body>
qvr_error guarded(Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return QVR_ERROR_OUT_OF_MEMORY;
    } catch (const std::length_error&) {
        return QVR_ERROR_OUT_OF_MEMORY;
    }
}

// A header cut short is no header: the codec's test would read the missing
// bytes as zeros, and a cut 16 bpp file would pass as one without alpha.
qvr_error headerInfo(const uint8_t* data, size_t size, qvr_info* info) {
    if (size < qvr::HEADER_BYTES) return QVR_ERROR_NOT_QVR;
    qvr::FileHeader header;
    std::memcpy(&header, data, sizeof header);
    if (!qvr::headerValid(header)) return QVR_ERROR_NOT_QVR;
    const int32_t depth = qvr::depthOfHeader(header);
    info->kind = static_cast<qvr_kind>(depth);
    info->width = header.width;
    info->height = header.height;
    info->depth = depth;
    return QVR_OK;
}

// What the header alone decides: a readable header, a layout the file can
// give, and a size within the caller's limit.
qvr_error admit(const uint8_t* data, size_t size, qvr_format format, const qvr_limits* limits,
                qvr_info* info) {
    const qvr_error error = headerInfo(data, size, info);
    if (error != QVR_OK) return error;
    if (format == QVR_FORMAT_INDEXED && info->kind != QVR_KIND_INDEXED) return QVR_ERROR_CONVERSION;
    const uint64_t pixels = static_cast<uint64_t>(info->width) * info->height;
    if (limits != nullptr && limits->max_pixels != 0 && pixels > limits->max_pixels)
        return QVR_ERROR_TOO_LARGE;
    return QVR_OK;
}

// Copies the decoded planes into the caller's layout.
void fillPixels(const RasterImage& image, qvr_format format, uint8_t* out) {
    const size_t pixels = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
    const size_t channels = static_cast<size_t>(qvr_format_channels(format));
    if (format == QVR_FORMAT_INDEXED) {
        std::memcpy(out, image.indices.data(), pixels);
        return;
    }
    for (size_t i = 0; i < pixels; ++i) {
        uint8_t* pixel = out + i * channels;
        const uint8_t* colour = image.depth == 8 ? &image.palette[3 * image.indices[i]] : &image.rgb[3 * i];
        std::memcpy(pixel, colour, 3);
        if (channels == 4) pixel[3] = image.depth == 32 ? image.alpha[i] : 255;
    }
}

qvr_error decodeBytes(const uint8_t* data, size_t size, qvr_format format, const qvr_limits* limits,
                      qvr_image* out) {
    qvr_info info;
    qvr_error error = admit(data, size, format, limits, &info);
    if (error != QVR_OK) return error;
    RasterImage image;
    if (!qvr::loadQvrMemory(data, size, image).empty()) return QVR_ERROR_DAMAGED;
    const qvr_format chosen = format == QVR_FORMAT_AUTO ? nativeFormat(info.kind) : format;
    const size_t bytes = static_cast<size_t>(info.width) * info.height *
                         static_cast<size_t>(qvr_format_channels(chosen));
    auto* pixels = static_cast<uint8_t*>(std::malloc(bytes));
    if (pixels == nullptr) return QVR_ERROR_OUT_OF_MEMORY;
    fillPixels(image, chosen, pixels);
    out->width = info.width;
    out->height = info.height;
    out->format = chosen;
    out->pixels = pixels;
    std::memcpy(out->palette, image.palette.data(), sizeof out->palette);
    return QVR_OK;
}

// The caller's layout as the planes the encoder reads.
void toRasterImage(const qvr_image& source, RasterImage& image) {
    const int32_t depth = depthOf(source.format);
    image.allocate(static_cast<int32_t>(source.width), static_cast<int32_t>(source.height), depth);
    const size_t pixels = static_cast<size_t>(source.width) * source.height;
    if (depth == 8) {
        std::memcpy(image.indices.data(), source.pixels, pixels);
        std::memcpy(image.palette.data(), source.palette, sizeof source.palette);
        return;
    }
    const size_t channels = static_cast<size_t>(qvr_format_channels(source.format));
    for (size_t i = 0; i < pixels; ++i) {
        std::memcpy(&image.rgb[3 * i], source.pixels + i * channels, 3);
        if (depth == 32) image.alpha[i] = source.pixels[i * channels + 3];
    }
}

qvr_error encodeBytes(const qvr_image* image, std::vector<uint8_t>& bytes) {
    if (image == nullptr || image->pixels == nullptr || qvr_format_channels(image->format) == 0)
        return QVR_ERROR_INVALID_ARGUMENT;
    if (!qvr::imageSizeReadable(image->width, image->height)) return QVR_ERROR_SIZE_UNSUPPORTED;
    RasterImage raster;
    toRasterImage(*image, raster);
    if (!qvr::saveQvrMemory(raster, bytes).empty()) return QVR_ERROR_WRITE;
    return QVR_OK;
}

}  // namespace

extern "C" {

int qvr_format_channels(qvr_format format) {
    switch (format) {
    case QVR_FORMAT_INDEXED: return 1;
    case QVR_FORMAT_RGB: return 3;
    case QVR_FORMAT_RGBA: return 4;
    case QVR_FORMAT_AUTO: return 0;
    }
    return 0;
}

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
    }
    return "unknown error code";
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

qvr_error qvr_decode_memory(const void* data, size_t size, qvr_format format,
                            const qvr_limits* limits, qvr_image* out) {
    if (out == nullptr) return QVR_ERROR_INVALID_ARGUMENT;
    *out = qvr_image{};
    if ((data == nullptr && size != 0) || !knownOutputFormat(format)) return QVR_ERROR_INVALID_ARGUMENT;
    return guarded([&] { return decodeBytes(static_cast<const uint8_t*>(data), size, format, limits, out); });
}

qvr_error qvr_decode_file(const char* path, qvr_format format, const qvr_limits* limits,
                          qvr_image* out) {
    if (out == nullptr) return QVR_ERROR_INVALID_ARGUMENT;
    *out = qvr_image{};
    if (path == nullptr || !knownOutputFormat(format)) return QVR_ERROR_INVALID_ARGUMENT;
    return guarded([&] {
        // The header first, so that a refused image costs no more than 48 bytes of reading.
        std::vector<uint8_t> bytes;
        qvr_error error = qvr::readFilePrefix(path, qvr::HEADER_BYTES, bytes);
        qvr_info info;
        if (error == QVR_OK) error = admit(bytes.data(), bytes.size(), format, limits, &info);
        if (error == QVR_OK) error = qvr::readFilePrefix(path, SIZE_MAX, bytes);
        return error != QVR_OK ? error : decodeBytes(bytes.data(), bytes.size(), format, limits, out);
    });
}

qvr_error qvr_encode_memory(const qvr_image* image, void** data, size_t* size) {
    if (data == nullptr || size == nullptr) return QVR_ERROR_INVALID_ARGUMENT;
    *data = nullptr;
    *size = 0;
    return guarded([&] {
        std::vector<uint8_t> bytes;
        const qvr_error error = encodeBytes(image, bytes);
        if (error != QVR_OK) return error;
        void* copy = std::malloc(bytes.size());
        if (copy == nullptr) return QVR_ERROR_OUT_OF_MEMORY;
        std::memcpy(copy, bytes.data(), bytes.size());
        *data = copy;
        *size = bytes.size();
        return QVR_OK;
    });
}

qvr_error qvr_encode_file(const qvr_image* image, const char* path) {
    if (path == nullptr || path[0] == '\0') return QVR_ERROR_INVALID_ARGUMENT;
    return guarded([&] {
        std::vector<uint8_t> bytes;
        const qvr_error error = encodeBytes(image, bytes);
        return error != QVR_OK ? error : qvr::replaceFile(path, bytes);
    });
}

void qvr_free(void* memory) { std::free(memory); }

}  // extern "C"
