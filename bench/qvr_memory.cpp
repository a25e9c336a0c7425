// qvr_memory [SIDE...]: peak memory of the library's qvr_encode_memory and
// qvr_decode_memory (RGBA pixels) on square images (default 4096 and 8191),
// each measured in a process of its own, against what any decoder or encoder
// must hold: the image and the file. The images are RGB with alpha, a
// gradient under noise, so that the file is large (about what a photograph
// gives).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "qvr/qvr.h"

namespace {

double peakMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

// RGBA pixels, four bytes each.
std::vector<uint8_t> photoLike(int32_t side) {
    std::vector<uint8_t> pixels(4 * static_cast<size_t>(side) * static_cast<size_t>(side));
    std::mt19937 rng(1);
    for (int32_t y = 0; y < side; ++y)
        for (int32_t x = 0; x < side; ++x) {
            const size_t p = static_cast<size_t>(y) * static_cast<size_t>(side) + static_cast<size_t>(x);
            for (size_t c = 0; c < 3; ++c) pixels[4 * p + c] = static_cast<uint8_t>((x + y) / 64 + 40 * c + rng() % 24);
            pixels[4 * p + 3] = static_cast<uint8_t>(x / 32 + rng() % 4);
        }
    return pixels;
}

double mib(size_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

// Runs `work` in a child process and prints what it reports.
template <typename Work>
void inChild(Work work) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        work();
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int32_t> sides;
    for (int i = 1; i < argc; ++i) sides.push_back(std::atoi(argv[i]));
    if (sides.empty()) sides = {4096, 8191};
    std::printf("%-6s %-6s %10s %10s %10s %10s  %s\n", "side", "what", "image MiB", "file MiB", "peak MiB", "extra MiB",
                "(extra: peak less the process before, the image and the file)");
    for (const int32_t side : sides) {
        const std::string path = "/tmp/qvr_memory_" + std::to_string(getpid()) + ".qvr";
        inChild([&] {  // encode: the image exists, then the file is made
            std::vector<uint8_t> pixels = photoLike(side);
            const qvr_image image{
                static_cast<uint32_t>(side), static_cast<uint32_t>(side), QVR_FORMAT_RGBA, pixels.data(), {}};
            const double before = peakMiB();
            void* file = nullptr;
            size_t size = 0;
            if (qvr_encode_memory(&image, &file, &size) != QVR_OK) std::exit(1);
            const double peak = peakMiB();
            std::printf("%-6d %-6s %10.1f %10.1f %10.1f %10.1f\n", side, "encode", mib(pixels.size()), mib(size), peak,
                        peak - before - mib(size));
            std::FILE* f = std::fopen(path.c_str(), "wb");
            std::fwrite(file, 1, size, f);
            std::fclose(f);
            qvr_free(file);
        });
        inChild([&] {  // decode: the file is in memory, then the image is made
            std::FILE* f = std::fopen(path.c_str(), "rb");
            if (!f) std::exit(1);
            std::fseek(f, 0, SEEK_END);
            std::vector<uint8_t> file(static_cast<size_t>(std::ftell(f)));
            std::rewind(f);
            const bool read = std::fread(file.data(), 1, file.size(), f) == file.size();
            std::fclose(f);
            if (!read) std::exit(1);
            const double before = peakMiB();
            qvr_image image{};
            if (qvr_decode_memory(file.data(), file.size(), QVR_FORMAT_RGBA, nullptr, &image) != QVR_OK) std::exit(1);
            const size_t imageBytes = 4 * static_cast<size_t>(image.width) * image.height;
            const double peak = peakMiB();
            qvr_free(image.pixels);
            std::printf("%-6d %-6s %10.1f %10.1f %10.1f %10.1f\n", side, "decode", mib(imageBytes), mib(file.size()),
                        peak, peak - before - mib(imageBytes));
        });
        std::remove(path.c_str());
    }
    return 0;
}
