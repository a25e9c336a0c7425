// The test host's planar documents to and from the tools' RasterImage.
#pragma once

#include "streams/stream_binding.h"
#include "tests/host/test_host.h"

namespace qvrhost {

// Indexed documents give depth 8 with their colour tables as the palette;
// RGB documents depth 24, or 32 when they have a fourth plane.
qvr::RasterImage rasterFromDocument(Document& document);
// Depth 8 gives an indexed document, 24 a 3-plane and 32 a 4-plane RGB one.
Document documentFromRaster(const qvr::RasterImage& image);

}  // namespace qvrhost
