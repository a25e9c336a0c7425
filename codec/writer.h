// Writing QVR files through a CodecContext's StreamProcs, and the size
// estimate. The header and the palette go to write() in one call each, every
// byte of the streams in a call of its own (two bytes for a 16-bit value);
// every row comes from one getRows() call. No result of the
// StreamProcs is tested: the binding records the first failure.
#pragma once

#include "codec/format.h"
#include "codec/stream.h"

namespace qvr {

// minBytes/maxBytes from width, height and depth. Always 1.
int32_t estimateSize(CodecContext* ctx);

// Writes the whole file: header, palette (depth 8), streams. Always 1.
// Writes nothing at all for a width beyond the row buffers (more than 8192
// columns) or below zero, and a file of a size that imageSizeReadable() refuses cannot be
// read back: callers check that first.
int32_t writeImage(CodecContext* ctx);

}  // namespace qvr
