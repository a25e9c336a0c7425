// make_samples DIR: draws the small images bundled in samples/ and writes them
// as QVR files of each kind, plus one PNG for the converter's encode direction.
#include <cmath>
#include <cstdio>
#include <string>

#include "streams/image_io.h"
#include "tools/common/png_io.h"

namespace {

using namespace qvr;

size_t at(const RasterImage& image, int32_t x, int32_t y) {
    return static_cast<size_t>(y) * static_cast<size_t>(image.width) + static_cast<size_t>(x);
}

uint8_t clampByte(double v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// A sunset in 64 palette colours: sky bands, a sun, and a striped sea.
RasterImage sunset() {
    RasterImage image;
    image.allocate(96, 64, 8);
    for (int i = 0; i < 64; ++i) {
        image.palette[3 * static_cast<size_t>(i)] = clampByte(255 - i * 2);
        image.palette[3 * static_cast<size_t>(i) + 1] = clampByte(90 + i * 2);
        image.palette[3 * static_cast<size_t>(i) + 2] = clampByte(60 + i * 3);
    }
    for (int32_t y = 0; y < image.height; ++y)
        for (int32_t x = 0; x < image.width; ++x) {
            const double dx = x - 48, dy = y - 30;
            uint8_t index = static_cast<uint8_t>(y / 2);
            if (dx * dx + dy * dy < 120) index = 0;
            if (y >= 40) index = static_cast<uint8_t>(40 + ((x / 6 + y) % 3) * 8);
            image.indices[at(image, x, y)] = index;
        }
    return image;
}

// Coloured tiles with smooth shading: fills, copies and packed runs.
RasterImage tiles() {
    RasterImage image;
    image.allocate(128, 96, 24);
    for (int32_t y = 0; y < image.height; ++y)
        for (int32_t x = 0; x < image.width; ++x) {
            const size_t p = 3 * at(image, x, y);
            const bool light = ((x / 16) + (y / 16)) % 2 == 0;
            image.rgb[p] = clampByte(light ? 230 : 40 + x);
            image.rgb[p + 1] = clampByte(light ? 200 - y : 90 + ((x ^ y) & 63));
            image.rgb[p + 2] = clampByte(light ? 120 : 100 + 1.5 * y);
        }
    return image;
}

// A round badge on a transparent ground, with a soft edge.
RasterImage badge() {
    RasterImage image;
    image.allocate(80, 80, 32);
    for (int32_t y = 0; y < image.height; ++y)
        for (int32_t x = 0; x < image.width; ++x) {
            const double d = std::hypot(x - 39.5, y - 39.5);
            const size_t p = at(image, x, y);
            image.rgb[3 * p] = clampByte(200 - d * 2);
            image.rgb[3 * p + 1] = clampByte(60 + d * 3);
            image.rgb[3 * p + 2] = clampByte(d < 20 ? 220 : 90);
            image.alpha[p] = clampByte((36 - d) * 64);
        }
    return image;
}

bool save(const std::string& path, const RasterImage& image) {
    FileStream stream(path, FileStream::Mode::Write);
    std::string problem = stream.isOpen() ? saveQvr(stream, image) : "cannot create";
    if (!stream.close() && problem.empty()) problem = "write error";
    if (!problem.empty()) std::fprintf(stderr, "make_samples: %s: %s\n", path.c_str(), problem.c_str());
    return problem.empty();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_samples DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = save(dir + "/sunset-indexed.qvr", sunset());
    ok = save(dir + "/tiles-rgb.qvr", tiles()) && ok;
    ok = save(dir + "/badge-rgba.qvr", badge()) && ok;
    const std::string png = writePng(dir + "/badge.png", badge());
    if (!png.empty()) std::fprintf(stderr, "make_samples: %s\n", png.c_str());
    return ok && png.empty() ? 0 : 1;
}
