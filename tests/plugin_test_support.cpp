#include "plugin_test_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "plugin/globals.h"

namespace qvr::test {

namespace {
int captureBox(void* context, const portable::MessageBoxCall& call) {
    static_cast<BoxCapture*>(context)->boxes.push_back(CapturedBox{
        call.owner, call.text ? call.text : "", call.caption != nullptr, call.caption ? call.caption : "", call.type});
    return IDOK;
}
}  // namespace

BoxCapture::BoxCapture() { portable::setMessageBoxSink(captureBox, this); }
BoxCapture::~BoxCapture() { portable::setMessageBoxSink(nullptr, nullptr); }

void releaseFallbackGlobals(qvrhost::TestHost& host) {
    if (host.slot == 0 || host.handlesMade != 0) return;
    handleDispose(nullptr, reinterpret_cast<Handle>(host.slot));
    host.slot = 0;
}

MemoryFile::MemoryFile(const std::vector<uint8_t>& bytes) : fd_(memfd_create("qvr-test", 0)) {
    if (!bytes.empty()) {
        EXPECT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
}
MemoryFile::~MemoryFile() { ::close(fd_); }
std::string MemoryFile::path() const { return "/proc/self/fd/" + std::to_string(fd_); }

// ctest runs each test in a process of its own, side by side: one name per process.
std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "qvr_plugin_" + std::to_string(getpid()) + "_" + name;
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string samplePath(const std::string& name) { return std::string(QVR_SAMPLES_DIR) + "/" + name; }

RasterImage sampleImage(int32_t width, int32_t height, int32_t depth) {
    RasterImage image;
    image.allocate(width, height, depth);
    for (size_t i = 0; i < image.palette.size(); ++i) image.palette[i] = static_cast<uint8_t>(i * 13);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const size_t p = static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x);
            const uint8_t v = static_cast<uint8_t>(x < width / 2 ? (x * 7 + y * 3) : (y / 3) * 40);
            if (depth == 8) image.indices[p] = v;
            if (depth != 8)
                for (size_t c = 0; c < 3; ++c) image.rgb[3 * p + c] = static_cast<uint8_t>(v + 50 * c);
            if (depth == 32) image.alpha[p] = static_cast<uint8_t>(x * 5);
        }
    return image;
}

}  // namespace qvr::test
