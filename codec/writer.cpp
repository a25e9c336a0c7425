#include "codec/writer.h"

#include <climits>

#include "codec/internal/line_encoder.h"
#include "codec/internal/callback_stream.h"

namespace qvr {

int32_t estimateSize(CodecContext* ctx) {
    const int64_t pixels = static_cast<int64_t>(ctx->width) * ctx->height;
    int64_t minBytes, maxBytes;
    if (ctx->depth == 8) {
        minBytes = pixels / 128 + INDEXED_DATA_OFFSET;
        maxBytes = 2 * pixels + INDEXED_DATA_OFFSET;
    } else {
        minBytes = pixels / 256 + HEADER_BYTES;
        maxBytes = 3 * pixels + HEADER_BYTES;
    }
    auto clamp32 = [](int64_t v) {
        return static_cast<int32_t>(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
    };
    ctx->minBytes = clamp32(minBytes);
    ctx->maxBytes = clamp32(maxBytes);
    return 1;
}

int32_t writeImage(CodecContext* ctx) {
    CallbackStream out{ctx->procs};
    writeImageTo(out, *ctx);
    return 1;
}

}  // namespace qvr
