// stress_documents DIR: writes test-host documents of each kind (indexed, RGB,
// RGBA) whose rows are noise with every kind of command the encoders look for
// (copies from one and two rows up, short and long; fills; pairs) planted at
// every offset of a literal stretch, and literals that need escaping. The
// Windows modules must save them byte for byte as the native build does: the
// 32-bit module's encoder has no vector paths, so this is where they differ.
#include <cstdio>
#include <string>

#include "tests/host/document_convert.h"
#include "tests/host/document_file.h"

namespace {

constexpr int32_t WIDTH = 333, HEIGHT = 40;  // a width no vector step divides
constexpr int32_t SPACING = 9;               // a planted command every this many samples

uint8_t noise(uint32_t r, uint32_t i, uint32_t salt) {
    uint32_t h = (r * 0x9E3779B1u) ^ (i * 0x85EBCA77u) ^ (salt * 0xC2B2AE3Du);
    h ^= h >> 15, h *= 0x2C1B3C6Du, h ^= h >> 13;
    return static_cast<uint8_t>(h);
}

// One plane of samples, `channels` bytes a pixel, each byte its own noise.
void drawPlane(uint8_t* samples, int32_t channels, uint32_t salt) {
    const auto at = [&](int32_t r, int32_t i) {
        return samples + channels * (static_cast<size_t>(r) * WIDTH + static_cast<size_t>(i));
    };
    const auto copy = [&](int32_t r, int32_t i, int32_t fromRow, int32_t fromColumn, int32_t n) {
        for (int32_t k = 0; k < n && i + k < WIDTH; ++k)
            for (int32_t c = 0; c < channels; ++c) at(r, i + k)[c] = at(fromRow, fromColumn + k)[c];
    };
    for (int32_t r = 0; r < HEIGHT; ++r) {
        for (int32_t i = 0; i < WIDTH; ++i)
            for (int32_t c = 0; c < channels; ++c) at(r, i)[c] = noise(r, i, salt + c);
        if (r < 2) continue;
        for (int32_t i = (5 * r) % SPACING; i + 1 < WIDTH; i += SPACING) {
            switch ((i / SPACING + r) % 7) {
            case 0: copy(r, i, r - 1, i, 3); break;
            case 1: copy(r, i, r - 2, i, 3); break;
            case 2: copy(r, i, r - 1, i, 24); break;
            case 3: copy(r, i, r - 2, i, 24); break;
            case 4:  // a fill of four, then a long one
                for (int32_t k = 1; k < (r % 2 ? 4 : 40); ++k) copy(r, i + k, r, i, 1);
                break;
            case 5:  // a pair: a b a b
                copy(r, i + 2, r, i, 2);
                break;
            case 6: break;  // plain literals
            }
        }
    }
}

qvr::RasterImage stressImage(int32_t depth) {
    qvr::RasterImage image;
    image.allocate(WIDTH, HEIGHT, depth);
    for (size_t i = 0; i < image.palette.size(); ++i) image.palette[i] = noise(0, static_cast<uint32_t>(i), 99);
    if (depth == 8) drawPlane(image.indices.data(), 1, 1);
    if (depth != 8) drawPlane(image.rgb.data(), 3, 2);
    if (depth == 32) drawPlane(image.alpha.data(), 1, 5);
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: stress_documents DIR\n");
        return 2;
    }
    for (int32_t depth : {8, 24, 32}) {
        const std::string path = std::string(argv[1]) + "/stress-" + std::to_string(depth) + ".doc";
        const std::string problem = qvrhost::saveDocument(path, qvrhost::documentFromRaster(stressImage(depth)));
        if (!problem.empty()) {
            std::fprintf(stderr, "stress_documents: %s: %s\n", path.c_str(), problem.c_str());
            return 1;
        }
    }
    return 0;
}
