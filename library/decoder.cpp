// The C API's streaming decoder: a push decoder is the engine fed by the
// caller; a pull decoder reads the header itself, then feeds the engine
// from the caller's reader in chunks, seeking over bytes nothing needs and
// reading none past the header's span (or the stream's size, when known).
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "library/checks.h"
#include "library/stream_decoder.h"
#include "qvr/qvr.h"

struct qvr_decoder {
    bool pull = false;
    // Pull: the caller's stream, limits and header; read() runs once.
    qvr_reader reader{};
    qvr_limits limits{};
    bool hasLimits = false;
    uint8_t header[qvr::HEADER_BYTES] = {};
    uint8_t palette[768] = {};
    bool paletteRead = false;  // at least its first byte: the file reaches the palette
    bool used = false;
    // The engine: a push decoder's from the start, a pull decoder's from read().
    std::unique_ptr<qvr::StreamDecoder> engine;
};

namespace {

using namespace qvr::api;

constexpr size_t PULL_CHUNK = size_t{64} << 10;

// Reads up to `size` bytes, in as many calls as the reader needs: the bytes
// read, or -1 when a read fails.
int64_t readFully(const qvr_reader& reader, uint8_t* buffer, size_t size) {
    size_t got = 0;
    while (got < size) {
        const int64_t n = reader.read(reader.user, buffer + got, size - got);
        if (n < 0 || static_cast<uint64_t>(n) > size - got) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(got);
}

qvr_error openPull(qvr_decoder& decoder) {
    const qvr_reader& reader = decoder.reader;
    if (reader.seek(reader.user, 0) != 0) return QVR_ERROR_READ;
    const int64_t got = readFully(reader, decoder.header, sizeof decoder.header);
    if (got < 0) return QVR_ERROR_READ;
    qvr_info info;
    const qvr_error error = admit(decoder.header, static_cast<size_t>(got), QVR_FORMAT_AUTO,
                                  decoder.hasLimits ? &decoder.limits : nullptr, &info);
    if (error != QVR_OK || info.kind != QVR_KIND_INDEXED) return error;
    // The palette, for qvr_decoder_info before the pixels: what the file
    // has of it (a palette past the file's end is damage read() reports).
    qvr::FileHeader header;
    std::memcpy(&header, decoder.header, sizeof header);
    if (reader.seek(reader.user, header.auxOffset) != 0) return QVR_OK;
    const int64_t paletteBytes = readFully(reader, decoder.palette, sizeof decoder.palette);
    if (paletteBytes < 0) return QVR_ERROR_READ;
    decoder.paletteRead = paletteBytes > 0;
    qvr::forcePaletteWhite(decoder.palette);
    return QVR_OK;
}

qvr_error pullRows(qvr_decoder& decoder, qvr::StreamDecoder& engine) {
    const qvr_reader& reader = decoder.reader;
    const qvr::FileSpan span = spanOf(decoder.header);
    uint64_t end = span.most;
    if (reader.size != nullptr) {
        const int64_t size = reader.size(reader.user);
        if (size >= 0 && static_cast<uint64_t>(size) < span.least) return QVR_ERROR_DAMAGED;  // too short for its rows
        if (size >= 0) end = std::min(end, static_cast<uint64_t>(size));
    }
    if (decoder.paletteRead) engine.presetPalette(decoder.palette);  // read once, in qvr_decoder_new
    qvr_error error = engine.push(decoder.header, sizeof decoder.header);
    uint64_t position = sizeof decoder.header;
    bool placed = false;  // the stream stands at `position`
    const std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[PULL_CHUNK]);
    if (!chunk) return QVR_ERROR_OUT_OF_MEMORY;
    while (error == QVR_OK) {
        const uint64_t wanted = engine.wanted();
        if (wanted >= end) break;
        if (wanted != position || !placed) {
            if (reader.seek(reader.user, wanted) != 0) return QVR_ERROR_READ;
            engine.skipTo(wanted);
            position = wanted;
            placed = true;
        }
        const int64_t got =
            readFully(reader, chunk.get(), static_cast<size_t>(std::min<uint64_t>(PULL_CHUNK, end - position)));
        if (got < 0) return QVR_ERROR_READ;
        if (got == 0) break;
        position += static_cast<uint64_t>(got);
        error = engine.push(chunk.get(), static_cast<size_t>(got));
    }
    return error != QVR_OK ? error : engine.finish();
}

}  // namespace

extern "C" {

qvr_error qvr_decoder_new(const qvr_reader* reader, const qvr_limits* limits, qvr_decoder** out) {
    if (out == nullptr) return QVR_ERROR_INVALID_ARGUMENT;
    *out = nullptr;
    if (reader == nullptr || reader->read == nullptr || reader->seek == nullptr || !reservedClear(limits))
        return QVR_ERROR_INVALID_ARGUMENT;
    return guarded([&] {
        auto decoder = std::make_unique<qvr_decoder>();
        decoder->pull = true;
        decoder->reader = *reader;
        decoder->hasLimits = limits != nullptr;
        if (limits != nullptr) decoder->limits = *limits;
        const qvr_error error = openPull(*decoder);
        if (error == QVR_OK) *out = decoder.release();
        return error;
    });
}

qvr_error qvr_decoder_info(const qvr_decoder* decoder, qvr_info* info, uint8_t palette[768]) {
    if (decoder == nullptr || info == nullptr) return QVR_ERROR_INVALID_ARGUMENT;
    const qvr::StreamDecoder* engine = decoder->engine.get();
    if (!decoder->pull && !engine->headerKnown()) return QVR_ERROR_INVALID_ARGUMENT;
    uint8_t header[qvr::HEADER_BYTES];
    std::memcpy(header, decoder->pull ? static_cast<const void*>(decoder->header) : &engine->header(), sizeof header);
    const qvr_error error = headerInfo(header, sizeof header, info);
    if (palette != nullptr) {
        const bool fromEngine = engine != nullptr && engine->paletteKnown();
        std::memcpy(palette, fromEngine ? engine->palette() : decoder->palette, 768);
    }
    return error;
}

qvr_error qvr_decoder_read(qvr_decoder* decoder, qvr_format format, uint8_t* pixels, size_t stride,
                           qvr_row_callback callback, void* user) {
    if (decoder == nullptr || !decoder->pull || decoder->used || !knownOutputFormat(format) ||
        (pixels == nullptr && callback == nullptr))
        return QVR_ERROR_INVALID_ARGUMENT;
    qvr_info info;
    const qvr_error error = headerInfo(decoder->header, sizeof decoder->header, &info);
    if (error != QVR_OK) return error;
    if (format == QVR_FORMAT_INDEXED && info.kind != QVR_KIND_INDEXED) return QVR_ERROR_CONVERSION;
    const qvr_format chosen = format == QVR_FORMAT_AUTO ? nativeFormat(info.kind) : format;
    if (pixels != nullptr && stride / static_cast<size_t>(qvr_format_channels(chosen)) < info.width)
        return QVR_ERROR_INVALID_ARGUMENT;
    decoder->used = true;
    return guarded([&] {
        decoder->engine = std::make_unique<qvr::StreamDecoder>(format, decoder->hasLimits ? &decoder->limits : nullptr,
                                                               pixels, stride, callback, user);
        return pullRows(*decoder, *decoder->engine);
    });
}

qvr_error qvr_decoder_new_push(qvr_format format, const qvr_limits* limits, qvr_row_callback callback, void* user,
                               qvr_decoder** out) {
    if (out == nullptr) return QVR_ERROR_INVALID_ARGUMENT;
    *out = nullptr;
    if (!knownOutputFormat(format) || callback == nullptr || !reservedClear(limits)) return QVR_ERROR_INVALID_ARGUMENT;
    return guarded([&] {
        auto decoder = std::make_unique<qvr_decoder>();
        decoder->engine = std::make_unique<qvr::StreamDecoder>(format, limits, nullptr, 0, callback, user);
        *out = decoder.release();
        return QVR_OK;
    });
}

qvr_error qvr_decoder_push(qvr_decoder* decoder, const void* bytes, size_t size) {
    if (decoder == nullptr || decoder->pull || (bytes == nullptr && size != 0)) return QVR_ERROR_INVALID_ARGUMENT;
    return decoder->engine->push(static_cast<const uint8_t*>(bytes), size);
}

qvr_error qvr_decoder_finish(qvr_decoder* decoder) {
    if (decoder == nullptr || decoder->pull) return QVR_ERROR_INVALID_ARGUMENT;
    return decoder->engine->finish();
}

qvr_error qvr_decoder_failure(const qvr_decoder* decoder, qvr_plane* plane, uint32_t* row) {
    if (decoder == nullptr || plane == nullptr || row == nullptr) return QVR_ERROR_INVALID_ARGUMENT;
    const qvr::StreamDecoder* engine = decoder->engine.get();
    *plane = engine != nullptr ? engine->failedPlane() : QVR_PLANE_NONE;
    *row = engine != nullptr ? engine->failedRow() : 0;
    return QVR_OK;
}

void qvr_decoder_free(qvr_decoder* decoder) { delete decoder; }

}  // extern "C"
