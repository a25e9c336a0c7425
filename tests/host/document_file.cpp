#include "tests/host/document_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "codec/format.h"
#include "streams/image_io.h"

namespace qvrhost {
namespace {

constexpr char MAGIC[8] = {'Q', 'V', 'R', 'D', 'O', 'C', '1', '\0'};

// Little-endian fields, in this order after the magic.
struct DocumentHeader {
    int32_t mode;
    int32_t width;
    int32_t height;
    int32_t planes;
};

}  // namespace

bool isDocumentPath(const std::string& path) {
    return path.size() > 4 && path.compare(path.size() - 4, 4, ".doc") == 0;
}

std::vector<uint8_t> documentBytes(const Document& document) {
    const DocumentHeader header{document.mode, document.width, document.height, document.planes};
    std::vector<uint8_t> bytes(sizeof MAGIC + sizeof header + 3 * 256 + document.pixels.size());
    uint8_t* at = bytes.data();
    const auto append = [&at](const void* data, size_t size) {
        if (size > 0) std::memcpy(at, data, size);
        at += size;
    };
    append(MAGIC, sizeof MAGIC);
    append(&header, sizeof header);
    append(document.redLUT, 256);
    append(document.greenLUT, 256);
    append(document.blueLUT, 256);
    append(document.pixels.data(), document.pixels.size());
    return bytes;
}

std::string saveDocument(const std::string& path, const Document& document) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return std::strerror(errno);
    const std::vector<uint8_t> bytes = documentBytes(document);
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const int error = errno;
    ok = std::fclose(file) == 0 && ok;
    return ok ? "" : std::strerror(error ? error : errno);
}

// Documents are held to what a QVR file can store, and a file too short for
// the planes its header claims is refused from its size, before any allocation.
std::string loadDocument(const std::string& path, Document& document) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return std::strerror(errno);
    char magic[sizeof MAGIC];
    DocumentHeader header{};
    bool ok = std::fread(magic, sizeof magic, 1, file) == 1 && std::memcmp(magic, MAGIC, sizeof MAGIC) == 0 &&
              std::fread(&header, sizeof header, 1, file) == 1 && header.planes >= 0 && header.planes <= 24;
    std::string problem = ok ? "" : "not a document file";
    if (ok && !qvr::imageSizeReadable(header.width, header.height)) {
        problem = "the document is " + std::to_string(header.width) + " x " + std::to_string(header.height) + "; " +
                  qvr::SIZE_RANGE_TEXT;
        ok = false;
    }
    const uint64_t pixelBytes = static_cast<uint64_t>(header.width) * static_cast<uint64_t>(header.height) *
                                static_cast<uint64_t>(header.planes);
    const uint64_t needed = sizeof MAGIC + sizeof header + 3 * 256 + pixelBytes;
    const long size = ok && std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
    if (ok && (size < 0 || static_cast<uint64_t>(size) < needed ||
               std::fseek(file, static_cast<long>(sizeof MAGIC + sizeof header), SEEK_SET) != 0)) {
        problem = "the document file is too short for its " + std::to_string(header.width) + " x " +
                  std::to_string(header.height) + " pixels";
        ok = false;
    }
    if (ok) {
        document.allocate(static_cast<int16_t>(header.mode), header.width, header.height,
                          static_cast<int16_t>(header.planes));
        ok = std::fread(document.redLUT, 256, 1, file) == 1 && std::fread(document.greenLUT, 256, 1, file) == 1 &&
             std::fread(document.blueLUT, 256, 1, file) == 1 &&
             (document.pixels.empty() || std::fread(document.pixels.data(), document.pixels.size(), 1, file) == 1);
        if (!ok) problem = "not a document file";
    }
    std::fclose(file);
    return problem;
}

}  // namespace qvrhost
