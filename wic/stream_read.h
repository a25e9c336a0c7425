// Reading a QVR file out of an IStream: the header first, then only the
// stretches the decoder can reach from it, each no longer than the image's
// size lets a stream run. A stream that claims to be huge, or a header whose
// offsets point far into it, costs no more memory than the image needs.
#pragma once

#include <objidl.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/format.h"

namespace qvr::wic {

// The file as the decoder sees it: the header (its offsets moved when the
// stretches between were left out) and every stretch it can read, in file
// order. `header` is what the stream's first 48 bytes said.
struct QvrBytes {
    FileHeader header{};
    std::vector<uint8_t> bytes;
};

// S_OK; WINCODEC_ERR_BADHEADER when the stream does not start with a valid
// header; WINCODEC_ERR_BADIMAGE when an offset lies outside the stream or
// beyond what the codec seeks to; E_OUTOFMEMORY; or the stream's own failure.
// The stream is left wherever the reading ended.
HRESULT readQvrStream(IStream* stream, QvrBytes& out);

}  // namespace qvr::wic
