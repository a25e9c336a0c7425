// qvr_profile PNG [encode|decode|both] [REPEATS]: runs the memory path on one
// image, for a profiler (valgrind --tool=callgrind, perf). The PNG is read and
// encoded once before the measured part; "encode" then repeats saveQvrMemory,
// "decode" repeats loadQvrMemory on that file, "both" does each.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "streams/image_io.h"
#include "tools/common/png_io.h"

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
    std::vector<uint8_t> file;
    if (!qvr::saveQvrMemory(png.image, file).empty()) return 1;
    qvr::RasterImage decoded;
    size_t check = 0;
    for (int k = 0; k < repeats; ++k) {
        if (what != "decode") {
            std::vector<uint8_t> again;
            if (!qvr::saveQvrMemory(png.image, again).empty() || again != file) return 1;
            check += again.size();
        }
        if (what != "encode") {
            if (!qvr::loadQvrMemory(file.data(), file.size(), decoded).empty()) return 1;
            check += decoded.rgb.size() + decoded.indices.size();
        }
    }
    std::printf("%s: %zu bytes, checksum %zu\n", argv[1], file.size(), check);
    return 0;
}
