// Fuzz target: builds an image from the input, writes it, reads it back, and
// checks that every sample survives wherever the format is lossless, through
// the general and the memory path alike.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "fuzz_limits.h"
#include "streams/image_io.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const int32_t depths[] = {8, 24, 32};
    const int32_t depth = depths[data[0] % 3];
    const int32_t width = 2 + data[1] % 300;
    // Up to 40 rows, as many as the pixel cap leaves room for.
    const int32_t height = 1 + data[2] % static_cast<int32_t>(std::min<uint64_t>(40, MAX_FUZZ_PIXELS / width));
    const uint8_t* pixels = data + 3;
    const size_t count = size - 3;

    // Images and buffers live across inputs: each is sized afresh, and filled
    // whole, by every input, but allocated only when it grows.
    static qvr::RasterImage image, back, fast;
    static std::vector<uint8_t> fastBytes;
    image.allocate(width, height, depth);
    size_t k = 0;  // the input's pixel bytes, over and over
    auto next = [&]() {
        const uint8_t v = pixels[k];
        k = k + 1 == count ? 0 : k + 1;
        return v;
    };
    for (auto& v : image.palette) v = next();
    for (auto& v : image.indices) v = next();
    for (auto& v : image.rgb) v = next();
    for (auto& v : image.alpha) v = next();

    qvr::MemoryStream out;
    check(qvr::saveQvr(out, image).empty());
    check(qvr::saveQvrMemory(image, fastBytes).empty());
    check(fastBytes == out.bytes());  // both paths write the same file
    qvr::MemoryStream in(out.bytes());
    check(qvr::loadQvr(in, back).empty());
    const qvr::RasterImage kept = qvr::keptByQvr(image);
    check(back.width == width && back.height == height && back.depth == depth);
    check(back.indices == kept.indices && back.rgb == kept.rgb && back.alpha == kept.alpha);
    if (depth == 8) check(back.palette == kept.palette);
    check(qvr::loadQvrMemory(fastBytes.data(), fastBytes.size(), fast).empty());
    check(fast.indices == back.indices && fast.rgb == back.rgb && fast.alpha == back.alpha);
    return 0;
}
