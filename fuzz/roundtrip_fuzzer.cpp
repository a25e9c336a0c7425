// Fuzz target: builds an image from the input, writes it, reads it back, and
// checks that every sample survives wherever the format is lossless.
#include <cstdlib>
#include <vector>

#include "streams/image_io.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

uint8_t widened(uint8_t v, bool green) {
    return green ? static_cast<uint8_t>((v & 0xFC) | (v >> 6)) : static_cast<uint8_t>((v & 0xF8) | (v >> 5));
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
    qvr::MemoryStream in(out.bytes());
    qvr::RasterImage back;
    check(qvr::loadQvr(in, back).empty());
    check(back.width == width && back.height == height && back.depth == depth);
    for (size_t i = 0; i < image.indices.size(); ++i)
        check(back.indices[i] == (image.indices[i] == 255 ? 246 : image.indices[i]));
    for (size_t i = 0; i < image.alpha.size(); ++i)
        check(back.alpha[i] == (image.alpha[i] == 255 ? 246 : image.alpha[i]));
    for (size_t i = 0; i < image.rgb.size(); ++i) check(back.rgb[i] == widened(image.rgb[i], i % 3 == 1));
    if (depth == 8)
        for (size_t i = 0; i < 768; ++i)
            check(back.palette[i] == (i / 3 == 246 ? 255 : image.palette[i]));
    return 0;
}
