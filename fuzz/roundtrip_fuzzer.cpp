// Fuzz target: builds an image from the input, writes it, reads it back, and
// checks that every sample survives wherever the format is lossless, through
// the general and the memory path alike.
#include <cstdlib>
#include <vector>

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
    const int32_t height = 1 + data[2] % 40;
    const uint8_t* pixels = data + 3;
    const size_t count = size - 3;

    qvr::RasterImage image;
    image.allocate(width, height, depth);
    size_t k = 0;
    auto next = [&]() { return pixels[k++ % count]; };
    for (auto& v : image.palette) v = next();
    for (auto& v : image.indices) v = next();
    for (auto& v : image.rgb) v = next();
    for (auto& v : image.alpha) v = next();

    qvr::MemoryStream out;
    check(qvr::saveQvr(out, image).empty());
    std::vector<uint8_t> fastBytes;
    check(qvr::saveQvrMemory(image, fastBytes).empty());
    check(fastBytes == out.bytes());  // both paths write the same file
    qvr::MemoryStream in(out.bytes());
    qvr::RasterImage back;
    check(qvr::loadQvr(in, back).empty());
    const qvr::RasterImage kept = qvr::keptByQvr(image);
    check(back.width == width && back.height == height && back.depth == depth);
    check(back.indices == kept.indices && back.rgb == kept.rgb && back.alpha == kept.alpha);
    if (depth == 8) check(back.palette == kept.palette);
    qvr::RasterImage fast;
    check(qvr::loadQvrMemory(fastBytes.data(), fastBytes.size(), fast).empty());
    check(fast.indices == back.indices && fast.rgb == back.rgb && fast.alpha == back.alpha);
    return 0;
}
