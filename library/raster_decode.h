// A file read through the library's streaming decoder into a RasterImage,
// the planes the converter and the WIC codec keep.
#pragma once

#include <cstdint>

#include "qvr/qvr.h"
#include "streams/stream_binding.h"

namespace qvr {

// The image is sized at the first row, so that a file whose rows never come
// (a large header over a few bytes) costs no pixel memory; RGBA rows are
// split into its colour and alpha planes. `progress` (may be null) gets
// every row callback's count of plane rows done of the total. Running out
// of memory is QVR_ERROR_OUT_OF_MEMORY.
qvr_error decodeIntoRaster(const qvr_reader& reader, RasterImage& image,
                           void (*progress)(void* context, int32_t done, int32_t total), void* context);

}  // namespace qvr
