#include "codec/reader.h"

#include "codec/internal/line_decoder.h"
#include "codec/internal/callback_stream.h"

namespace qvr {

bool readHeader(CodecContext* ctx, FileHeader* header) {
    CallbackStream in{ctx->procs};
    return readHeaderFrom(in, header);
}

bool identify(CodecContext* ctx) {
    FileHeader header;
    return readHeader(ctx, &header);
}

bool readInfo(CodecContext* ctx, FileHeader* header) {
    CallbackStream in{ctx->procs};
    return readInfoFrom(in, ctx, header);
}

DecodeReport decodeImage(CodecContext* ctx) {
    CallbackStream in{ctx->procs};
    return decodeImageFrom(in, ctx);
}

}  // namespace qvr
