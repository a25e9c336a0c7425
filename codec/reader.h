// Reading QVR files through a CodecContext's StreamProcs: one read() per
// stream byte, one putRows() per row. Each operation reads the header anew
// from offset 0 and keeps nothing between calls.
#pragma once

#include "codec/format.h"
#include "codec/stream.h"

namespace qvr {

// Reads the header at offset 0; true when it passes every test (headerValid).
bool readHeader(CodecContext* ctx, FileHeader* header);

// True when the file starts with a header that passes every test.
bool identify(CodecContext* ctx);

// Sets width, height and depth (and for 8 bpp files the palette, entry 246
// forced white). Leaves the context unchanged when the header fails.
bool readInfo(CodecContext* ctx, FileHeader* header);

// Hands every row of every plane to putRows, with progress after each row,
// and tells how it ended: which plane stopped early and at which row. An
// overrun in the alpha plane ends that plane only.
enum class DecodeOutcome {
    Complete,           // every plane decoded (data may still have run out: see the binding)
    BadHeader,          // nothing delivered
    FirstPlaneOverrun,  // the indices or colour plane stopped at `row`; no alpha plane was read
    AlphaOverrun,       // the colour plane is complete; the alpha plane stopped at `row`
};
struct DecodeReport {
    DecodeOutcome outcome;
    int32_t row;  // the row whose commands ran past the width, or -1
};
DecodeReport decodeImage(CodecContext* ctx);

}  // namespace qvr
