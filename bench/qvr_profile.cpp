// qvr_profile PNG [encode|decode|both] [REPEATS]: runs the public C API on one
// image, as the benchmark measures it, for a profiler (valgrind
// --tool=callgrind, perf). The PNG is read and encoded once before the
// measured part; "encode" then repeats qvr_encode_memory, "decode" repeats
// qvr_decode_memory on that file, "both" does each.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qvr/qvr.h"
#include "streams/image_io.h"
#include "tools/common/png_io.h"

namespace {

// The PNG's pixels as the library takes them: indices, RGB or RGBA.
qvr_image apiImage(const qvr::RasterImage& image, std::vector<uint8_t>& pixels) {
    qvr_image out{};
    out.width = static_cast<uint32_t>(image.width);
    out.height = static_cast<uint32_t>(image.height);
    if (image.depth == 8) {
        out.format = QVR_FORMAT_INDEXED;
        pixels = image.indices;
        std::memcpy(out.palette, image.palette.data(), sizeof out.palette);
    } else {
        out.format = image.depth == 32 ? QVR_FORMAT_RGBA : QVR_FORMAT_RGB;
        const size_t count = image.rgb.size() / 3, channels = image.depth == 32 ? 4 : 3;
        pixels.resize(count * channels);
        for (size_t i = 0; i < count; ++i) {
            std::memcpy(&pixels[i * channels], &image.rgb[3 * i], 3);
            if (channels == 4) pixels[4 * i + 3] = image.alpha[i];
        }
    }
    out.pixels = pixels.data();
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: qvr_profile PNG [encode|decode|both] [REPEATS]\n");
        return 2;
    }
    const std::string what = argc > 2 ? argv[2] : "both";
    const int repeats = argc > 3 ? std::atoi(argv[3]) : 1;
    qvr::PngImage png;
    const std::string problem = qvr::readPng(argv[1], png);
    if (!problem.empty()) {
        std::fprintf(stderr, "qvr_profile: %s: %s\n", argv[1], problem.c_str());
        return 1;
    }
    // Indexed images as an 8 bpp file keeps them, as qvr_bench measures them.
    if (png.image.depth == 8) png.image = qvr::keptByQvr(png.image);
    std::vector<uint8_t> pixels;
    const qvr_image image = apiImage(png.image, pixels);
    void* file = nullptr;
    size_t size = 0;
    if (qvr_encode_memory(&image, &file, &size) != QVR_OK) return 1;
    size_t check = 0;
    for (int k = 0; k < repeats; ++k) {
        if (what != "decode") {
            void* again = nullptr;
            size_t againSize = 0;
            if (qvr_encode_memory(&image, &again, &againSize) != QVR_OK || againSize != size ||
                std::memcmp(again, file, size) != 0)
                return 1;
            check += againSize;
            qvr_free(again);
        }
        if (what != "encode") {
            qvr_image decoded{};
            if (qvr_decode_memory(file, size, QVR_FORMAT_AUTO, nullptr, &decoded) != QVR_OK) return 1;
            check += decoded.pixels[0];
            qvr_free(decoded.pixels);
        }
    }
    std::printf("%s: %zu bytes, checksum %zu\n", argv[1], size, check);
    qvr_free(file);
    return 0;
}
