// Fuzz target: the streaming decoder against the whole-file decode. Pulled
// through a reader (with and without a size) and pushed in pieces whose
// sizes come from the input, every input must give qvr_decode_memory's
// result and, on success, its pixels, row by row, top to bottom; the pull
// never reads past the header's span.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_limits.h"
#include "qvr/qvr.h"

namespace {

constexpr qvr_limits FUZZ_LIMITS = {.max_pixels = MAX_FUZZ_PIXELS, .reserved = {}};

void check(bool condition) {
    if (!condition) std::abort();
}

struct Source {
    const uint8_t* data;
    size_t size;
    uint64_t most;  // the header's span, or the size when there is no header
    uint64_t position = 0;
};

int64_t readSource(void* user, void* buffer, size_t size) {
    auto& source = *static_cast<Source*>(user);
    const uint64_t left = source.position < source.size ? source.size - source.position : 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, size));
    check(n == 0 || source.position + n <= source.most);  // nothing past the span
    if (n != 0) std::memcpy(buffer, source.data + source.position, n);
    source.position += n;
    return static_cast<int64_t>(n);
}

struct Rows {
    std::vector<uint8_t> pixels;
    size_t rowBytes = 0;
    uint32_t next = 0;

    static int take(void* user, const qvr_row* row) {
        auto& self = *static_cast<Rows*>(user);
        check(row->done <= row->total);
        if (row->pixels == nullptr) return 0;
        check(row->y == self.next++);
        self.pixels.insert(self.pixels.end(), row->pixels, row->pixels + self.rowBytes);
        return 0;
    }
};

size_t rowBytesOf(const uint8_t* data, size_t size, qvr_format format) {
    qvr_info info{};
    if (qvr_read_info_memory(data, size, &info) != QVR_OK) return 0;
    const qvr_format chosen = format != QVR_FORMAT_AUTO       ? format
                              : info.kind == QVR_KIND_INDEXED ? QVR_FORMAT_INDEXED
                              : info.kind == QVR_KIND_RGB     ? QVR_FORMAT_RGB
                                                              : QVR_FORMAT_RGBA;
    return size_t{info.width} * static_cast<size_t>(qvr_format_channels(chosen));
}

// The same result as the whole file, and on success the same pixels.
void checkAgrees(qvr_error error, const Rows& rows, qvr_error wholeError, const qvr_image& whole) {
    check(error == wholeError);
    if (error != QVR_OK) return;
    const size_t bytes = size_t{whole.width} * whole.height * static_cast<size_t>(qvr_format_channels(whole.format));
    check(rows.pixels.size() == bytes && std::memcmp(rows.pixels.data(), whole.pixels, bytes) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint32_t seed = 2166136261u;  // piece sizes from the input's bytes
    for (size_t i = 0; i < size; i += 1 + size / 64) seed = (seed ^ data[i]) * 16777619u;
    uint64_t least = 0, most = 0;
    if (qvr_file_span(data, size, &least, &most) != QVR_OK) most = size;  // no header: anything there
    for (qvr_format format : {QVR_FORMAT_AUTO, QVR_FORMAT_RGBA}) {
        qvr_image whole{};
        const qvr_error wholeError = qvr_decode_memory(data, size, format, &FUZZ_LIMITS, &whole);
        const size_t rowBytes = rowBytesOf(data, size, format);

        Source source{data, size, most};
        const bool sized = seed & 1;
        qvr_reader reader{
            &source, readSource,
            [](void* user, uint64_t offset) {
                static_cast<Source*>(user)->position = offset;
                return 0;
            },
            sized ? +[](void* user) { return static_cast<int64_t>(static_cast<Source*>(user)->size); } : nullptr};
        qvr_decoder* decoder = nullptr;
        Rows pulled;
        pulled.rowBytes = rowBytes;
        qvr_error error = qvr_decoder_new(&reader, &FUZZ_LIMITS, &decoder);
        if (error == QVR_OK) error = qvr_decoder_read(decoder, format, nullptr, 0, &Rows::take, &pulled);
        qvr_decoder_free(decoder);
        checkAgrees(error, pulled, wholeError, whole);

        Rows pushed;
        pushed.rowBytes = rowBytes;
        check(qvr_decoder_new_push(format, &FUZZ_LIMITS, &Rows::take, &pushed, &decoder) == QVR_OK);
        error = QVR_OK;
        for (size_t at = 0; at < size && error == QVR_OK;) {
            seed = seed * 1103515245u + 12345u;
            const size_t piece = std::min<size_t>(size - at, 1 + (seed >> 16) % ((seed & 0x100) ? 7 : 700));
            error = qvr_decoder_push(decoder, data + at, piece);
            at += piece;
        }
        if (error == QVR_OK) error = qvr_decoder_finish(decoder);
        qvr_decoder_free(decoder);
        checkAgrees(error, pushed, wholeError, whole);
        qvr_free(whole.pixels);
    }
    return 0;
}
