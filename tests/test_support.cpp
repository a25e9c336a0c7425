#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>

#include "streams/image_io.h"

namespace qvr::test {
namespace {

Recorder* rec(void* userData) { return static_cast<Recorder*>(userData); }

int32_t recRead(void* u, void* buffer, int32_t count) {
    Recorder* r = rec(u);
    if (count != 1 || r->recordByteReads) r->calls.push_back("read(" + std::to_string(count) + ")");
    size_t n = 0;
    while (n < static_cast<size_t>(count) && r->readPos < r->input.size())
        static_cast<uint8_t*>(buffer)[n++] = r->input[r->readPos++];
    return static_cast<int32_t>(n);
}

int32_t recWrite(void* u, const void* buffer, int32_t count) {
    Recorder* r = rec(u);
    if (count > 2) r->calls.push_back("write(" + std::to_string(count) + ")");
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    for (int32_t k = 0; k < count; ++k) {
        if (r->writePos == r->output.size())
            r->output.push_back(bytes[k]);
        else
            r->output[r->writePos] = bytes[k];
        ++r->writePos;
    }
    return count;
}

int32_t recSeek(void* u, int32_t offset, int32_t origin) {
    Recorder* r = rec(u);
    r->calls.push_back("seek(" + std::to_string(offset) + "," + std::to_string(origin) + ")");
    // Reading and writing keep positions of their own; both follow a seek.
    const size_t base = origin == SEEK_FROM_CURRENT ? r->writePos : 0;
    r->readPos = r->writePos = base + static_cast<size_t>(offset);
    return static_cast<int32_t>(r->writePos);
}

std::string rowCall(const char* name, int32_t rowBytes, int32_t kind, int32_t left, int32_t top, int32_t width,
                    int32_t height) {
    return std::string(name) + "(kind=" + std::to_string(kind) + ",top=" + std::to_string(top) +
           ",w=" + std::to_string(width) + ",rb=" + std::to_string(rowBytes) +
           (left != 0 || height != 1 ? ",odd" : "") + ")";
}

int32_t bytesPerPixel(int32_t kind) { return kind == ROW_KIND_RGB ? 3 : 1; }

int32_t recPutRows(void* u, void* buffer, int32_t rowBytes, int32_t kind, int32_t left, int32_t top, int32_t width,
                   int32_t height) {
    Recorder* r = rec(u);
    r->calls.push_back(rowCall("putRows", rowBytes, kind, left, top, width, height));
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    r->rowsPut.emplace_back(bytes, bytes + width * bytesPerPixel(kind));
    return 1;
}

int32_t recGetRows(void* u, void* buffer, int32_t rowBytes, int32_t kind, int32_t left, int32_t top, int32_t width,
                   int32_t height) {
    Recorder* r = rec(u);
    r->calls.push_back(rowCall("getRows", rowBytes, kind, left, top, width, height));
    if (r->rowSource) r->rowSource(kind, top, width, static_cast<uint8_t*>(buffer));
    return 1;
}

int32_t recProgress(void* u, int32_t done, int32_t total) {
    rec(u)->calls.push_back("progress(" + std::to_string(done) + "," + std::to_string(total) + ")");
    return 0;
}

void put32(Bytes& b, size_t at, uint32_t v) {
    for (size_t k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
}

}  // namespace

StreamProcs Recorder::procs() {
    return StreamProcs{this, recRead, recWrite, recSeek, recPutRows, recGetRows, recProgress};
}

CodecContext Recorder::context() {
    CodecContext ctx{};
    ctx.procs = procs();
    return ctx;
}

std::vector<std::string> Recorder::framingCalls() const {
    std::vector<std::string> out;
    for (const auto& c : calls)
        if (c != "read(1)") out.push_back(c);
    return out;
}

FileHeader makeHeader(int32_t bitsPerPixel, uint32_t width, uint32_t height, uint32_t dataOffset, uint32_t auxOffset) {
    FileHeader h{};
    h.magic[0] = QVR_MAGIC_0;
    h.magic[1] = QVR_MAGIC_1;
    h.version = 1;
    h.headerSize = 48;
    h.bitsPerPixel = static_cast<uint16_t>(bitsPerPixel);
    h.reserved1 = 0xFFFF;
    h.width = width;
    h.height = height;
    h.dataOffset = dataOffset;
    h.auxOffset = auxOffset;
    return h;
}

Bytes headerBytes(const FileHeader& header) {
    Bytes b(sizeof header);
    std::memcpy(b.data(), &header, sizeof header);
    return b;
}

Bytes indexedFile(uint32_t width, uint32_t height, const Bytes& stream, const Bytes& palette) {
    Bytes file = headerBytes(makeHeader(8, width, height, 816, 48));
    Bytes pal = palette;
    pal.resize(768, 0);
    file.insert(file.end(), pal.begin(), pal.end());
    file.insert(file.end(), stream.begin(), stream.end());
    return file;
}

Bytes colourFile(uint32_t width, uint32_t height, const Bytes& colour, const Bytes& alpha) {
    const uint32_t aux = alpha.empty() ? 0 : static_cast<uint32_t>(48 + colour.size());
    Bytes file = headerBytes(makeHeader(16, width, height, 48, aux));
    file.reserve(file.size() + colour.size() + alpha.size());
    file.insert(file.end(), colour.begin(), colour.end());
    file.insert(file.end(), alpha.begin(), alpha.end());
    put32(file, 36, aux);
    return file;
}

std::string decodeBytes(const Bytes& file, RasterImage& image) {
    MemoryStream stream(file);
    return loadQvr(stream, image);
}

Bytes encodeImage(const RasterImage& image) {
    MemoryStream stream;
    const std::string problem = saveQvr(stream, image);
    EXPECT_EQ(problem, "");
    return problem.empty() ? stream.bytes() : Bytes{};
}

void expectSameImage(const RasterImage& got, const RasterImage& want, const std::string& what) {
    EXPECT_EQ(got.width, want.width) << what;
    EXPECT_EQ(got.height, want.height) << what;
    EXPECT_EQ(got.depth, want.depth) << what;
    EXPECT_TRUE(got.indices == want.indices) << what;
    EXPECT_TRUE(got.rgb == want.rgb) << what;
    EXPECT_TRUE(got.alpha == want.alpha) << what;
    if (want.depth == 8) {
        EXPECT_TRUE(got.palette == want.palette) << what;
    }
}

}  // namespace qvr::test
