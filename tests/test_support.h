// Shared helpers for the codec tests: a StreamProcs that records every call,
// and builders for headers and images.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "codec/format.h"
#include "codec/stream.h"
#include "streams/stream_binding.h"

namespace qvr::test {

using Bytes = std::vector<uint8_t>;

// Serves reads from `input`, collects writes in `output` (at the current
// position, so a rewritten header lands where it was), and records each call
// as text: "seek(0,0)", "read(48)", "write(2)", "putRows(kind=8,top=0,w=4,rb=8192)",
// "progress(1,2)". It keeps no first-failure rule: it shows what the codec does.
struct Recorder {
    Bytes input;
    size_t readPos = 0;
    Bytes output;
    size_t writePos = 0;
    bool recordByteReads = true;  // "read(1)" entries can drown the interesting calls
    std::vector<std::string> calls;
    std::vector<Bytes> rowsPut;  // each putRows row, width x bytes-per-pixel
    // Fills the buffer of a getRows call; default leaves it as it is.
    std::function<void(int32_t kind, int32_t top, int32_t width, uint8_t* buffer)> rowSource;

    StreamProcs procs();
    CodecContext context();
    // The calls other than one-byte reads and one- or two-byte writes.
    std::vector<std::string> framingCalls() const;
};

FileHeader makeHeader(int32_t bitsPerPixel, uint32_t width, uint32_t height, uint32_t dataOffset, uint32_t auxOffset);
Bytes headerBytes(const FileHeader& header);

// A file: header, then for 8 bpp a palette at 48 and the stream at 816; for 16 bpp
// the colour stream at 48 and, when `alpha` is not empty, the alpha stream after it.
Bytes indexedFile(uint32_t width, uint32_t height, const Bytes& stream, const Bytes& palette = {});
Bytes colourFile(uint32_t width, uint32_t height, const Bytes& colour, const Bytes& alpha = {});

// Decodes through the memory binding; the message is "" on success.
std::string decodeBytes(const Bytes& file, RasterImage& image);
// Encodes through the memory binding, expecting success.
Bytes encodeImage(const RasterImage& image);
// Same size, kind and planes; the palette too for indexed images.
void expectSameImage(const RasterImage& got, const RasterImage& want, const std::string& what);

}  // namespace qvr::test
