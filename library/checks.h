// What the C API's reading calls test alike, whole-file or streaming: the
// caller's arguments, the header and the caller's limit, and the exceptions
// an allocation may throw, turned into error codes.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

#include "codec/format.h"
#include "library/rules.h"
#include "qvr/qvr.h"

namespace qvr::api {

inline bool knownOutputFormat(qvr_format format) {
    return format == QVR_FORMAT_AUTO || qvr_format_channels(format) != 0;
}

inline qvr_format nativeFormat(qvr_kind kind) {
    switch (kind) {
    case QVR_KIND_INDEXED: return QVR_FORMAT_INDEXED;
    case QVR_KIND_RGB: return QVR_FORMAT_RGB;
    case QVR_KIND_RGBA: return QVR_FORMAT_RGBA;
    }
    return QVR_FORMAT_AUTO;
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

template <typename Struct>
bool reservedClear(const Struct* options) {
    if (options == nullptr) return true;
    for (auto value : options->reserved)
        if (value != 0) return false;
    return true;
}

// A header cut short is no header: the codec's test would read the missing
// bytes as zeros, and a cut 16 bpp file would pass as one without alpha.
inline qvr_error headerInfo(const uint8_t* data, size_t size, qvr_info* info) {
    if (size < HEADER_BYTES) return QVR_ERROR_NOT_QVR;
    FileHeader header;
    std::memcpy(&header, data, sizeof header);
    if (!headerValid(header)) return QVR_ERROR_NOT_QVR;
    const int32_t depth = depthOfHeader(header);
    info->kind = static_cast<qvr_kind>(depth);
    info->width = header.width;
    info->height = header.height;
    info->depth = depth;
    return QVR_OK;
}

inline FileSpan spanOf(const uint8_t* header) {
    FileHeader fields;
    std::memcpy(&fields, header, sizeof fields);
    return fileSpan(fields);
}

// What the header alone decides: a readable header, a layout the file can
// give, and a size within the caller's limit.
inline qvr_error admit(const uint8_t* data, size_t size, qvr_format format, const qvr_limits* limits, qvr_info* info) {
    if (!reservedClear(limits)) return QVR_ERROR_INVALID_ARGUMENT;
    const qvr_error error = headerInfo(data, size, info);
    if (error != QVR_OK) return error;
    if (format == QVR_FORMAT_INDEXED && info->kind != QVR_KIND_INDEXED) return QVR_ERROR_CONVERSION;
    const uint64_t pixels = static_cast<uint64_t>(info->width) * info->height;
    if (limits != nullptr && limits->max_pixels != 0 && pixels > limits->max_pixels) return QVR_ERROR_TOO_LARGE;
    return QVR_OK;
}

}  // namespace qvr::api
