// Writing QVR files through a CodecContext's StreamProcs, and the size
// estimate. The encoders are greedy: at each position they measure a fixed
// set of candidate commands, emit the longest, and move on. Every byte goes to
// write() in a call of its own (two bytes for a 16-bit value). No result of
// the StreamProcs is tested: the binding records the first failure.
#pragma once

#include "codec/format.h"
#include "codec/stream.h"

namespace qvr {

// minBytes/maxBytes from width, height and depth. Always 1.
int32_t estimateSize(CodecContext* ctx);

// Writes the whole file: header, palette (depth 8), streams. Always 1.
// Writes nothing at all for a width beyond the row buffers (more than 8192);
// callers check imageSizeReadable() first so that the file can be read back.
int32_t writeImage(CodecContext* ctx);

// One 8-bit plane: indices when header.bitsPerPixel is 8, alpha otherwise.
int32_t encode8(CodecContext* ctx, const FileHeader& header);
// The 16-bit colour plane, then at depth 32 the alpha pass, which rewrites
// the header with the alpha stream's offset.
int32_t encode16(CodecContext* ctx, FileHeader* header);

// Output primitives: the value, or -1 when write() moved nothing. The forms
// over a StreamProcs let the encoders work from a local copy of the table.
int32_t putByte(CodecContext* ctx, int32_t value);
int32_t putWord(CodecContext* ctx, int32_t value);
int32_t putByte(const StreamProcs& procs, int32_t value);
int32_t putWord(const StreamProcs& procs, int32_t value);

// Measuring primitives. Sequences may start at any byte address.
int32_t matchLength(const void* a, const void* b, int32_t cap);  // common byte prefix, at most cap
int32_t runLength8(const void* p, int32_t cap);   // bytes equal to the first, at least 1
int32_t runLength16(const void* p, int32_t cap);  // 16-bit units equal to the first, at least 1
int32_t runLength32(const void* p, int32_t cap);  // 32-bit units (pixel pairs), at least 1
int32_t packedRunLength(const uint16_t* p, int32_t cap);  // pixels one CMD_PACKED can carry
int32_t pickLongest(const int32_t* lengths, int32_t n);   // index of the longest; lowest wins ties

}  // namespace qvr
