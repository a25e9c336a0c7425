// The public C API: every layout against the codec's own decode, the pixel
// limit (checked before any allocation), damaged input, allocation failure,
// safe file replacement and the error texts.
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <set>

#include <gtest/gtest.h>

#include "qvr/qvr.h"
#include "tests/test_support.h"

// Every C++ allocation in this program passes here: the tests read the
// largest request and can make large requests fail.
namespace {
size_t largestRequest = 0;
size_t failAbove = SIZE_MAX;
}  // namespace

void* operator new(size_t size, const std::nothrow_t&) noexcept {
    if (size > largestRequest) largestRequest = size;
    if (size > failAbove) return nullptr;
    return std::malloc(size ? size : 1);
}
void* operator new(size_t size) {
    if (void* p = operator new(size, std::nothrow)) return p;
    throw std::bad_alloc();
}
// The compiler cannot see that operator new above comes from malloc.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace qvr::test {
namespace {

namespace fs = std::filesystem;

const char* const SAMPLES[] = {"sunset-indexed.qvr", "tiles-rgb.qvr", "badge-rgba.qvr"};

Bytes readSample(const std::string& name) {
    std::ifstream in(std::string(QVR_SAMPLES_DIR) + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string samplePath(const std::string& name) { return std::string(QVR_SAMPLES_DIR) + "/" + name; }

// Owns a decoded image for the length of a test.
struct Decoded {
    qvr_image image{};
    qvr_error error = QVR_OK;
    ~Decoded() { qvr_free(image.pixels); }
};

// What the codec gives for a pixel, in a layout of the API.
Bytes expectedPixels(const RasterImage& image, qvr_format format) {
    Bytes out;
    const size_t pixels = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
    for (size_t i = 0; i < pixels; ++i) {
        if (format == QVR_FORMAT_INDEXED) {
            out.push_back(image.indices[i]);
            continue;
        }
        const uint8_t* rgb = image.depth == 8 ? &image.palette[3 * image.indices[i]] : &image.rgb[3 * i];
        out.insert(out.end(), rgb, rgb + 3);
        if (format == QVR_FORMAT_RGBA) out.push_back(image.depth == 32 ? image.alpha[i] : 255);
    }
    return out;
}

Bytes pixelsOf(const qvr_image& image) {
    const size_t size =
        static_cast<size_t>(image.width) * image.height * static_cast<size_t>(qvr_format_channels(image.format));
    return Bytes(image.pixels, image.pixels + size);
}

void expectEmpty(const qvr_image& image) {
    EXPECT_EQ(image.pixels, nullptr);
    EXPECT_EQ(image.width, 0u);
    EXPECT_EQ(image.height, 0u);
}

TEST(QvrApi, EveryLayoutOfEverySampleMatchesTheCodec) {
    for (const char* name : SAMPLES) {
        const Bytes file = readSample(name);
        RasterImage reference;
        ASSERT_EQ(decodeBytes(file, reference), "") << name;
        const qvr_format native = reference.depth == 8    ? QVR_FORMAT_INDEXED
                                  : reference.depth == 24 ? QVR_FORMAT_RGB
                                                          : QVR_FORMAT_RGBA;
        for (qvr_format format : {QVR_FORMAT_AUTO, QVR_FORMAT_INDEXED, QVR_FORMAT_RGB, QVR_FORMAT_RGBA}) {
            SCOPED_TRACE(std::string(name) + " format " + std::to_string(format));
            Decoded fromMemory, fromFile;
            fromMemory.error = qvr_decode_memory(file.data(), file.size(), format, nullptr, &fromMemory.image);
            fromFile.error = qvr_decode_file(samplePath(name).c_str(), format, nullptr, &fromFile.image);
            if (format == QVR_FORMAT_INDEXED && reference.depth != 8) {
                EXPECT_EQ(fromMemory.error, QVR_ERROR_CONVERSION);
                EXPECT_EQ(fromFile.error, QVR_ERROR_CONVERSION);
                expectEmpty(fromMemory.image);
                continue;
            }
            ASSERT_EQ(fromMemory.error, QVR_OK);
            ASSERT_EQ(fromFile.error, QVR_OK);
            const qvr_format want = format == QVR_FORMAT_AUTO ? native : format;
            EXPECT_EQ(fromMemory.image.format, want);
            EXPECT_EQ(fromMemory.image.width, static_cast<uint32_t>(reference.width));
            EXPECT_EQ(fromMemory.image.height, static_cast<uint32_t>(reference.height));
            EXPECT_EQ(pixelsOf(fromMemory.image), expectedPixels(reference, want));
            EXPECT_EQ(pixelsOf(fromFile.image), pixelsOf(fromMemory.image));
            if (reference.depth == 8) {
                EXPECT_EQ(0, std::memcmp(fromMemory.image.palette, reference.palette.data(), 768));
            }
        }
    }
}

TEST(QvrApi, InfoComesFromTheHeaderAlone) {
    const struct {
        const char* name;
        qvr_kind kind;
        int depth;
    } cases[] = {{"sunset-indexed.qvr", QVR_KIND_INDEXED, 8},
                 {"tiles-rgb.qvr", QVR_KIND_RGB, 24},
                 {"badge-rgba.qvr", QVR_KIND_RGBA, 32}};
    for (const auto& c : cases) {
        const Bytes file = readSample(c.name);
        qvr_info fromHeader, fromFile;
        ASSERT_EQ(qvr_read_info_memory(file.data(), 48, &fromHeader), QVR_OK) << c.name;
        ASSERT_EQ(qvr_read_info_file(samplePath(c.name).c_str(), &fromFile), QVR_OK) << c.name;
        EXPECT_EQ(fromHeader.kind, c.kind);
        EXPECT_EQ(fromHeader.depth, c.depth);
        EXPECT_EQ(fromFile.kind, c.kind);
        EXPECT_EQ(fromFile.width, fromHeader.width);
        EXPECT_EQ(fromFile.height, fromHeader.height);
        // A cut header is refused whole, even where the missing bytes could read as zeros.
        for (size_t size : {36, 40, 47})
            EXPECT_EQ(qvr_read_info_memory(file.data(), size, &fromHeader), QVR_ERROR_NOT_QVR) << c.name << size;
    }
    qvr_info info;
    EXPECT_EQ(qvr_read_info_file("/nonexistent/picture.qvr", &info), QVR_ERROR_OPEN);
    EXPECT_EQ(qvr_read_info_file(QVR_SAMPLES_DIR, &info), QVR_ERROR_OPEN);  // a folder
    const fs::path fifo = fs::temp_directory_path() / ("qvr-api-fifo-" + std::to_string(::getpid()));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(qvr_read_info_file(fifo.c_str(), &info), QVR_ERROR_OPEN);  // refused, not waited on
    fs::remove(fifo);
    EXPECT_EQ(qvr_read_info_memory(nullptr, 0, &info), QVR_ERROR_NOT_QVR);
    EXPECT_EQ(qvr_read_info_memory(nullptr, 48, &info), QVR_ERROR_INVALID_ARGUMENT);
}

TEST(QvrApi, PixelLimitRefusesFromTheHeaderBeforeAllocating) {
    const Bytes file = readSample("tiles-rgb.qvr");  // 128 x 96
    Decoded atLimit, overLimit;
    const qvr_limits exact{.max_pixels = 128 * 96, .reserved = {}}, under{.max_pixels = 128 * 96 - 1, .reserved = {}};
    EXPECT_EQ(qvr_decode_memory(file.data(), file.size(), QVR_FORMAT_RGB, &exact, &atLimit.image), QVR_OK);
    EXPECT_EQ(qvr_decode_memory(file.data(), file.size(), QVR_FORMAT_RGB, &under, &overLimit.image),
              QVR_ERROR_TOO_LARGE);
    expectEmpty(overLimit.image);
    EXPECT_EQ(qvr_decode_file(samplePath("tiles-rgb.qvr").c_str(), QVR_FORMAT_RGB, &under, &overLimit.image),
              QVR_ERROR_TOO_LARGE);

    // The largest header over a few bytes of data: refused without any large request.
    const Bytes huge = colourFile(8191, 8191, Bytes(16, 0));
    const qvr_limits million{.max_pixels = 1000000, .reserved = {}};
    largestRequest = 0;
    EXPECT_EQ(qvr_decode_memory(huge.data(), huge.size(), QVR_FORMAT_RGBA, &million, &overLimit.image),
              QVR_ERROR_TOO_LARGE);
    EXPECT_LT(largestRequest, 4096u);
}

TEST(QvrApi, DamagedInputFailsCleanly) {
    for (const char* name : SAMPLES) {
        const Bytes file = readSample(name);
        RasterImage reference;
        ASSERT_EQ(decodeBytes(file, reference), "");
        // Every cut of the file: a short header is no QVR file, a short body is damaged.
        for (size_t size = 0; size < file.size(); size += (size < 64 ? 1 : 37)) {
            Decoded cut;
            cut.error = qvr_decode_memory(file.data(), size, QVR_FORMAT_AUTO, nullptr, &cut.image);
            EXPECT_EQ(cut.error, size < 48 ? QVR_ERROR_NOT_QVR : QVR_ERROR_DAMAGED) << name << " cut at " << size;
            expectEmpty(cut.image);
        }
        // Single-byte changes in the body: the API agrees with the codec on success or failure.
        for (size_t at = 48; at < file.size(); at += 53) {
            Bytes changed = file;
            changed[at] ^= 0xA5;
            RasterImage codec;
            const bool codecOk = decodeBytes(changed, codec).empty();
            Decoded api;
            api.error = qvr_decode_memory(changed.data(), changed.size(), QVR_FORMAT_AUTO, nullptr, &api.image);
            EXPECT_EQ(api.error, codecOk ? QVR_OK : QVR_ERROR_DAMAGED) << name << " byte " << at;
            if (codecOk && api.error == QVR_OK) {
                EXPECT_EQ(pixelsOf(api.image), expectedPixels(codec, api.image.format));
            }
        }
    }
    Bytes notQvr = readSample("tiles-rgb.qvr");
    notQvr[0] = 'X';
    Decoded bad;
    EXPECT_EQ(qvr_decode_memory(notQvr.data(), notQvr.size(), QVR_FORMAT_AUTO, nullptr, &bad.image), QVR_ERROR_NOT_QVR);
    EXPECT_EQ(qvr_decode_memory(notQvr.data(), notQvr.size(), static_cast<qvr_format>(2), nullptr, &bad.image),
              QVR_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(qvr_decode_file("/nonexistent/picture.qvr", QVR_FORMAT_AUTO, nullptr, &bad.image), QVR_ERROR_OPEN);
}

TEST(QvrApi, AllocationFailureIsReportedNotThrown) {
    const Bytes file = readSample("badge-rgba.qvr");
    Bytes pixels(8191 * 100 * 3, 7);
    qvr_image image{8191, 100, QVR_FORMAT_RGB, pixels.data(), {}};
    void* encoded = nullptr;
    size_t encodedSize = 0;
    Decoded decoded;
    failAbove = 1024;  // the pixels, and the file's bytes
    decoded.error = qvr_decode_memory(file.data(), file.size(), QVR_FORMAT_RGBA, nullptr, &decoded.image);
    const qvr_error encodeError = qvr_encode_memory(&image, &encoded, &encodedSize);
    failAbove = SIZE_MAX;
    EXPECT_EQ(decoded.error, QVR_ERROR_OUT_OF_MEMORY);
    expectEmpty(decoded.image);
    EXPECT_EQ(encodeError, QVR_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(encoded, nullptr);
    EXPECT_EQ(encodedSize, 0u);
}

// Buffers beyond 32 MiB are mappings of the library's own: an RGBA image that
// large goes out and comes back as the format keeps it, and is freed.
TEST(QvrApi, ImagesBeyondThirtyTwoMebibytesRoundTrip) {
    const uint32_t width = 4096, height = 2049;  // 33.6 MB of RGBA
    Bytes pixels(4 * size_t{width} * height);
    for (size_t i = 0; i < pixels.size(); ++i) {
        const size_t x = i / 4 % width, y = i / 4 / width;
        pixels[i] = static_cast<uint8_t>(i % 4 == 3 ? (x / 64) * 5 : (x * 3 + y * (i % 4 + 1)) / 8);
    }
    const qvr_image image{width, height, QVR_FORMAT_RGBA, pixels.data(), {}};
    void* encoded = nullptr;
    size_t size = 0;
    ASSERT_EQ(qvr_encode_memory(&image, &encoded, &size), QVR_OK);
    Decoded back;
    back.error = qvr_decode_memory(encoded, size, QVR_FORMAT_RGBA, nullptr, &back.image);
    qvr_free(encoded);
    ASSERT_EQ(back.error, QVR_OK);
    Bytes kept(pixels.size());
    for (size_t i = 0; i < pixels.size(); ++i) {
        const uint8_t v = pixels[i];
        kept[i] = i % 4 == 3 ? keptSample(v) : i % 4 == 1 ? keptGreen(v) : keptRedOrBlue(v);
    }
    EXPECT_TRUE(pixelsOf(back.image) == kept);
}

TEST(QvrApi, EncodingMatchesTheCodecAndReadsBack) {
    for (const char* name : SAMPLES) {
        SCOPED_TRACE(name);
        const Bytes file = readSample(name);
        Decoded native;
        ASSERT_EQ(qvr_decode_memory(file.data(), file.size(), QVR_FORMAT_AUTO, nullptr, &native.image), QVR_OK);
        void* encoded = nullptr;
        size_t size = 0;
        ASSERT_EQ(qvr_encode_memory(&native.image, &encoded, &size), QVR_OK);
        const Bytes bytes(static_cast<uint8_t*>(encoded), static_cast<uint8_t*>(encoded) + size);
        qvr_free(encoded);
        RasterImage reference;
        ASSERT_EQ(decodeBytes(file, reference), "");
        EXPECT_EQ(bytes, encodeImage(reference));  // the API hands the codec the same planes
        Decoded again;
        ASSERT_EQ(qvr_decode_memory(bytes.data(), bytes.size(), QVR_FORMAT_AUTO, nullptr, &again.image), QVR_OK);
        EXPECT_EQ(pixelsOf(again.image), pixelsOf(native.image));  // what a file keeps is stable
    }
}

TEST(QvrApi, EncodingKeepsWhatTheFormatKeeps) {
    // Full-scale colour survives 5-6-5; alpha 255 reads back as 246; index 255 as 246.
    uint8_t rgba[2 * 4] = {255, 255, 255, 255, 0, 0, 0, 17};
    qvr_image image{2, 1, QVR_FORMAT_RGBA, rgba, {}};
    void* encoded = nullptr;
    size_t size = 0;
    ASSERT_EQ(qvr_encode_memory(&image, &encoded, &size), QVR_OK);
    Decoded back;
    ASSERT_EQ(qvr_decode_memory(encoded, size, QVR_FORMAT_AUTO, nullptr, &back.image), QVR_OK);
    qvr_free(encoded);
    EXPECT_EQ(back.image.format, QVR_FORMAT_RGBA);
    EXPECT_EQ(pixelsOf(back.image), (Bytes{255, 255, 255, 246, 0, 0, 0, 17}));

    // Index 255 would read back as 246, which is white: the colours are renumbered instead.
    uint8_t indices[3] = {0, 255, 9};
    qvr_image indexed{3, 1, QVR_FORMAT_INDEXED, indices, {}};
    indexed.palette[3 * 9] = 200;
    ASSERT_EQ(qvr_encode_memory(&indexed, &encoded, &size), QVR_OK);
    Decoded indexedBack;
    ASSERT_EQ(qvr_decode_memory(encoded, size, QVR_FORMAT_RGB, nullptr, &indexedBack.image), QVR_OK);
    qvr_free(encoded);
    EXPECT_EQ(pixelsOf(indexedBack.image), (Bytes{0, 0, 0, 0, 0, 0, 200, 0, 0}));
    EXPECT_EQ(indices[1], 255);  // the caller's pixels are left alone
}

// An indexed image of `colours` distinct colours, pixel i using index i, with
// the colour of entry `darkRed` (if below `colours`) at (128, 0, 0).
qvr_image paletteImage(Bytes& indices, uint32_t colours, uint32_t darkRed) {
    indices.resize(colours < 2 ? 2 : colours);
    qvr_image image{static_cast<uint32_t>(indices.size()), 1, QVR_FORMAT_INDEXED, indices.data(), {}};
    for (uint32_t i = 0; i < indices.size(); ++i) {
        indices[i] = static_cast<uint8_t>(i % colours);
        image.palette[3 * i] = static_cast<uint8_t>(i);
        image.palette[3 * i + 1] = static_cast<uint8_t>(255 - i);
        image.palette[3 * i + 2] = static_cast<uint8_t>(i * 7);
    }
    if (darkRed < colours) {
        image.palette[3 * darkRed] = 128;
        image.palette[3 * darkRed + 1] = image.palette[3 * darkRed + 2] = 0;
    }
    return image;
}

// The RGB pixels an indexed image shows.
Bytes shownColours(const qvr_image& image) {
    Bytes rgb;
    for (size_t p = 0; p < size_t{image.width} * image.height; ++p)
        rgb.insert(rgb.end(), &image.palette[3 * image.pixels[p]], &image.palette[3 * image.pixels[p]] + 3);
    return rgb;
}

TEST(QvrApi, PaletteColoursAreRenumberedOrRefusedNeverChanged) {
    const struct {
        uint32_t colours, darkRed;
        qvr_colours rule;
        qvr_error want;
        bool indicesKept;  // stored as given, without renumbering
    } cases[] = {
        {247, 246, QVR_COLOURS_RENUMBER, QVR_OK, false},  // entry 246 would read back white
        {247, 246, QVR_COLOURS_REFUSE, QVR_ERROR_COLOURS, false},
        {256, 300, QVR_COLOURS_RENUMBER, QVR_ERROR_COLOURS, false},  // 255 besides white: one too many
        {256, 300, QVR_COLOURS_REFUSE, QVR_ERROR_COLOURS, false},
        {246, 300, QVR_COLOURS_REFUSE, QVR_OK, true},  // 0..245 read back as they are
        {246, 300, QVR_COLOURS_RENUMBER, QVR_OK, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.colours) + " colours, rule " + std::to_string(c.rule));
        Bytes indices;
        const qvr_image image = paletteImage(indices, c.colours, c.darkRed);
        const qvr_encode_options options{c.rule, QVR_ALPHA_AUTO, {}};
        void* encoded = nullptr;
        size_t size = 0;
        ASSERT_EQ(qvr_encode_memory_with(&image, &options, &encoded, &size), c.want);
        if (c.want != QVR_OK) {
            EXPECT_EQ(encoded, nullptr);
            EXPECT_NE(std::strstr(qvr_error_string(c.want), "at most 254 colours besides white"), nullptr);
            continue;
        }
        Decoded back;
        back.error = qvr_decode_memory(encoded, size, QVR_FORMAT_INDEXED, nullptr, &back.image);
        qvr_free(encoded);
        ASSERT_EQ(back.error, QVR_OK);
        EXPECT_EQ(shownColours(back.image), shownColours(image));
        EXPECT_EQ(pixelsOf(back.image) == indices, c.indicesKept);
    }
    // White keeps entry 246 however many colours come before it: 254 and white fit.
    Bytes indices;
    qvr_image full = paletteImage(indices, 256, 300);
    std::memset(&full.palette[3 * 255], 255, 3);
    void* encoded = nullptr;
    size_t size = 0;
    ASSERT_EQ(qvr_encode_file(&full, "/dev/null"), QVR_ERROR_COLOURS);  // 246 and 255 both coloured
    std::memset(&full.palette[3 * 246], 255, 3);                        // now 0..254 less 246, and white twice
    ASSERT_EQ(qvr_encode_memory(&full, &encoded, &size), QVR_OK);
    Decoded back;
    back.error = qvr_decode_memory(encoded, size, QVR_FORMAT_INDEXED, nullptr, &back.image);
    qvr_free(encoded);
    ASSERT_EQ(back.error, QVR_OK);
    EXPECT_EQ(shownColours(back.image), shownColours(full));
}

TEST(QvrApi, AnAlphaPlaneOnlyWhenSomePixelIsNotOpaqueUnlessAsked) {
    const struct {
        uint8_t lowestAlpha;
        qvr_alpha rule;
        qvr_kind want;
    } cases[] = {
        {255, QVR_ALPHA_AUTO, QVR_KIND_RGB},
        {254, QVR_ALPHA_AUTO, QVR_KIND_RGBA},
        {255, QVR_ALPHA_KEEP, QVR_KIND_RGBA},
        {0, QVR_ALPHA_DROP, QVR_KIND_RGB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.lowestAlpha) + " rule " + std::to_string(c.rule));
        Bytes rgba(4 * 4 * 3, 255);
        for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = i % 4 == 3 ? 255 : static_cast<uint8_t>(i * 5);
        rgba[4 * 7 + 3] = c.lowestAlpha;
        const qvr_image image{4, 3, QVR_FORMAT_RGBA, rgba.data(), {}};
        const qvr_encode_options options{QVR_COLOURS_RENUMBER, c.rule, {}};
        void* encoded = nullptr;
        size_t size = 0;
        ASSERT_EQ(qvr_encode_memory_with(&image, &options, &encoded, &size), QVR_OK);
        qvr_info info{};
        EXPECT_EQ(qvr_read_info_memory(encoded, size, &info), QVR_OK);
        EXPECT_EQ(info.kind, c.want);
        Decoded back;
        back.error = qvr_decode_memory(encoded, size, QVR_FORMAT_RGB, nullptr, &back.image);
        qvr_free(encoded);
        ASSERT_EQ(back.error, QVR_OK);
        for (size_t p = 0; p < 12; ++p) EXPECT_EQ(back.image.pixels[3 * p], keptRedOrBlue(rgba[4 * p]));
    }
}

TEST(QvrApi, OptionsAndLimitsRefuseWhatThisVersionDoesNotKnow) {
    EXPECT_EQ(qvr_version(), static_cast<uint32_t>(QVR_HEADER_VERSION));
    uint8_t pixels[2 * 3] = {};
    const qvr_image image{2, 1, QVR_FORMAT_RGB, pixels, {}};
    qvr_encode_options unknownColours{}, unknownAlpha{}, later{};
    const int unknown = 3;  // as a caller built against a later header would pass
    std::memcpy(&unknownColours.colours, &unknown, sizeof unknown);
    std::memcpy(&unknownAlpha.alpha, &unknown, sizeof unknown);
    later.reserved[5] = 1;
    void* encoded = nullptr;
    size_t size = 0;
    for (const qvr_encode_options* options : {&unknownColours, &unknownAlpha, &later})
        EXPECT_EQ(qvr_encode_memory_with(&image, options, &encoded, &size), QVR_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(qvr_encode_file_with(&image, &later, "/dev/null"), QVR_ERROR_INVALID_ARGUMENT);
    const Bytes file = readSample("tiles-rgb.qvr");
    qvr_limits laterLimits{};
    laterLimits.reserved[2] = 1;
    Decoded refused;
    EXPECT_EQ(qvr_decode_memory(file.data(), file.size(), QVR_FORMAT_AUTO, &laterLimits, &refused.image),
              QVR_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(qvr_decode_file(samplePath("tiles-rgb.qvr").c_str(), QVR_FORMAT_AUTO, &laterLimits, &refused.image),
              QVR_ERROR_INVALID_ARGUMENT);
}

// What a file's header lets it use: the most is read, the least is needed,
// and both hold for the smallest and the largest encodings.
TEST(QvrApi, ReadingFollowsTheHeaderNotTheFileSize) {
    const fs::path padded = fs::temp_directory_path() / ("qvr-api-padded-" + std::to_string(::getpid()));
    const Bytes tiles = readSample("tiles-rgb.qvr");
    std::ofstream(padded, std::ios::binary)
        .write(reinterpret_cast<const char*>(tiles.data()), static_cast<std::streamsize>(tiles.size()));
    fs::resize_file(padded, 256u << 20);  // a sparse tail of 256 MiB
    Decoded decoded;
    largestRequest = 0;
    EXPECT_EQ(qvr_decode_file(padded.c_str(), QVR_FORMAT_RGB, nullptr, &decoded.image), QVR_OK);
    EXPECT_LT(largestRequest, 1u << 20);
    fs::remove(padded);

    // 8191 x 8191 over a few bytes: refused from the size, before the pixels.
    for (int depth : {8, 24, 32}) {
        Bytes huge = depth == 8 ? readSample("sunset-indexed.qvr")
                                : colourFile(8191, 8191, Bytes(16, 0), depth == 32 ? Bytes(16, 0) : Bytes{});
        huge.resize(depth == 8 ? 900 : huge.size());
        std::memcpy(&huge[24], "\xff\x1f\0\0\xff\x1f\0\0", 8);
        largestRequest = 0;
        Decoded cut;
        EXPECT_EQ(qvr_decode_memory(huge.data(), huge.size(), QVR_FORMAT_AUTO, nullptr, &cut.image), QVR_ERROR_DAMAGED)
            << depth;
        EXPECT_LT(largestRequest, 4096u) << depth;
    }

    // Flat and noisy images, with and without alpha, lie within their span.
    for (qvr_format format : {QVR_FORMAT_INDEXED, QVR_FORMAT_RGB, QVR_FORMAT_RGBA}) {
        for (bool noisy : {false, true}) {
            SCOPED_TRACE(std::to_string(format) + (noisy ? " noisy" : " flat"));
            const uint32_t width = 300, height = 5;
            Bytes pixels(size_t{width} * height * static_cast<size_t>(qvr_format_channels(format)), 9);
            uint32_t seed = 1;
            if (noisy)
                for (uint8_t& v : pixels) v = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
            qvr_image image{width, height, format, pixels.data(), {}};
            for (int i = 0; i < 256 * 3; ++i) image.palette[i] = static_cast<uint8_t>(i / 3);
            std::memset(&image.palette[3 * 246], 255, 3);
            const qvr_encode_options keep{QVR_COLOURS_RENUMBER, QVR_ALPHA_KEEP, {}};
            void* encoded = nullptr;
            size_t size = 0;
            ASSERT_EQ(qvr_encode_memory_with(&image, &keep, &encoded, &size), QVR_OK);
            uint64_t least = 0, most = 0;
            EXPECT_EQ(qvr_file_span(encoded, size, &least, &most), QVR_OK);
            EXPECT_LE(least, size);
            EXPECT_LE(size, most);
            Decoded exact, shorter;
            EXPECT_EQ(qvr_decode_memory(encoded, static_cast<size_t>(least), QVR_FORMAT_AUTO, nullptr, &exact.image),
                      noisy || size > least ? QVR_ERROR_DAMAGED : QVR_OK);
            EXPECT_EQ(
                qvr_decode_memory(encoded, static_cast<size_t>(least - 1), QVR_FORMAT_AUTO, nullptr, &shorter.image),
                QVR_ERROR_DAMAGED);
            qvr_free(encoded);
        }
    }
    uint64_t least = 0, most = 0;
    EXPECT_EQ(qvr_file_span("QV", 2, &least, &most), QVR_ERROR_NOT_QVR);
}

TEST(QvrApi, EncodingRefusesWhatNoFileHolds) {
    uint8_t pixels[4 * 3] = {};
    void* encoded = nullptr;
    size_t size = 0;
    for (uint32_t width : {0u, 1u, 8192u, 0x80000002u}) {
        const qvr_image image{width, 1, QVR_FORMAT_RGB, pixels, {}};
        EXPECT_EQ(qvr_encode_memory(&image, &encoded, &size), QVR_ERROR_SIZE_UNSUPPORTED) << width;
    }
    const qvr_image noPixels{2, 2, QVR_FORMAT_RGB, nullptr, {}};
    const qvr_image autoFormat{2, 2, QVR_FORMAT_AUTO, pixels, {}};
    EXPECT_EQ(qvr_encode_memory(&noPixels, &encoded, &size), QVR_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(qvr_encode_memory(&autoFormat, &encoded, &size), QVR_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(qvr_encode_memory(nullptr, &encoded, &size), QVR_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(encoded, nullptr);
}

class EncodeFile : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() / ("qvr-api-" + std::to_string(::getpid()));
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }
    std::set<std::string> entries() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
        return names;
    }
    static Bytes contents(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    fs::path folder;
    uint8_t pixels[2 * 2 * 3] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    qvr_image image{2, 2, QVR_FORMAT_RGB, pixels, {}};
};

TEST_F(EncodeFile, ReplacesTheFileWholeAndKeepsItsPermissions) {
    const fs::path target = folder / "out.qvr";
    std::ofstream(target) << "old contents";
    ::chmod(target.c_str(), 0640);
    ASSERT_EQ(qvr_encode_file(&image, target.c_str()), QVR_OK);
    void* expected = nullptr;
    size_t size = 0;
    ASSERT_EQ(qvr_encode_memory(&image, &expected, &size), QVR_OK);
    EXPECT_EQ(contents(target), Bytes(static_cast<uint8_t*>(expected), static_cast<uint8_t*>(expected) + size));
    qvr_free(expected);
    struct stat info;
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(entries(), std::set<std::string>{"out.qvr"});  // no temporary file left behind
}

TEST_F(EncodeFile, ALinkKeepsPointingAtTheReplacedFileAndReadOnlyFilesStay) {
    const fs::path target = folder / "real.qvr";
    std::ofstream(target) << "old contents";
    fs::create_symlink("real.qvr", folder / "link.qvr");
    ASSERT_EQ(qvr_encode_file(&image, (folder / "link.qvr").c_str()), QVR_OK);
    EXPECT_TRUE(fs::is_symlink(folder / "link.qvr"));
    qvr_info info{};
    EXPECT_EQ(qvr_read_info_file(target.c_str(), &info), QVR_OK);  // the file the link names was replaced
    EXPECT_EQ(entries(), (std::set<std::string>{"link.qvr", "real.qvr"}));

    const fs::path locked = folder / "locked.qvr";
    std::ofstream(locked) << "read only";
    ::chmod(locked.c_str(), 0444);
    if (::access(locked.c_str(), W_OK) != 0) {  // root may write anywhere: nothing to check then
        EXPECT_EQ(qvr_encode_file(&image, locked.c_str()), QVR_ERROR_OPEN);
        EXPECT_EQ(contents(locked), (Bytes{'r', 'e', 'a', 'd', ' ', 'o', 'n', 'l', 'y'}));
    }
}

TEST_F(EncodeFile, LeavesTheFolderAsItWasOnFailure) {
    const fs::path target = folder / "keep.qvr";
    std::ofstream(target) << "precious";
    qvr_image tooSmall = image;
    tooSmall.width = 1;
    EXPECT_EQ(qvr_encode_file(&tooSmall, target.c_str()), QVR_ERROR_SIZE_UNSUPPORTED);
    fs::create_directory(folder / "sub.qvr");
    EXPECT_EQ(qvr_encode_file(&image, (folder / "sub.qvr").c_str()), QVR_ERROR_OPEN);
    EXPECT_EQ(qvr_encode_file(&image, (folder / "missing" / "x.qvr").c_str()), QVR_ERROR_OPEN);
    EXPECT_EQ(qvr_encode_file(&image, ""), QVR_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(contents(target), (Bytes{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
    EXPECT_EQ(entries(), (std::set<std::string>{"keep.qvr", "sub.qvr"}));
    EXPECT_TRUE(fs::is_empty(folder / "sub.qvr"));
}

// Where each kind of link leads: a dangling link keeps pointing at the file it
// names, which is made; a loop is refused and stays; a hard link keeps the old
// contents (renaming the new file in splits it from the old one).
TEST_F(EncodeFile, LinksDanglingLinksLoopsAndHardLinks) {
    fs::create_symlink("made.qvr", folder / "dangling.qvr");
    ASSERT_EQ(qvr_encode_file(&image, (folder / "dangling.qvr").c_str()), QVR_OK);
    EXPECT_TRUE(fs::is_symlink(folder / "dangling.qvr"));
    qvr_info info{};
    EXPECT_EQ(qvr_read_info_file((folder / "made.qvr").c_str(), &info), QVR_OK);

    fs::create_symlink("loop-b", folder / "loop-a");
    fs::create_symlink("loop-a", folder / "loop-b");
    EXPECT_EQ(qvr_encode_file(&image, (folder / "loop-a").c_str()), QVR_ERROR_OPEN);
    EXPECT_TRUE(fs::is_symlink(folder / "loop-a"));
    EXPECT_TRUE(fs::is_symlink(folder / "loop-b"));

    std::ofstream(folder / "shared.qvr") << "old";
    fs::create_hard_link(folder / "shared.qvr", folder / "other-name.qvr");
    ASSERT_EQ(qvr_encode_file(&image, (folder / "shared.qvr").c_str()), QVR_OK);
    EXPECT_EQ(contents(folder / "other-name.qvr"), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(entries(),
              (std::set<std::string>{"dangling.qvr", "made.qvr", "loop-a", "loop-b", "shared.qvr", "other-name.qvr"}));
}

// The temporary name beside a long output name stays within the name limit.
TEST_F(EncodeFile, AnOutputNameOf250BytesIsWritten) {
    const fs::path target = folder / (std::string(246, 'n') + ".qvr");
    ASSERT_EQ(qvr_encode_file(&image, target.c_str()), QVR_OK);
    qvr_info info{};
    EXPECT_EQ(qvr_read_info_file(target.c_str(), &info), QVR_OK);
    EXPECT_EQ(entries(), std::set<std::string>{target.filename()});
}

// Replacing a file keeps its owner where the writer may give it (root), and its
// group where the writer belongs to it; a group it cannot keep gets no more
// access than others had. Each case runs in a child with the writer's ids.
TEST_F(EncodeFile, KeepsOwnerAndGroupWherePermitted) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make files of other owners";
    constexpr uid_t WRITER = 12345, COLLEAGUE = 12347;
    constexpr gid_t WRITERS_GROUP = 12345, SHARED_GROUP = 12346, FOREIGN_GROUP = 12348;
    struct Case {
        const char* what;
        bool asWriter;  // else as root
        uid_t owner;
        gid_t group;
        mode_t mode;
        uid_t ownerAfter;
        gid_t groupAfter;
        mode_t modeAfter;
    };
    const Case cases[] = {
        {"root keeps both", false, COLLEAGUE, SHARED_GROUP, 0640, COLLEAGUE, SHARED_GROUP, 0640},
        {"a member keeps the group", true, COLLEAGUE, SHARED_GROUP, 0660, WRITER, SHARED_GROUP, 0660},
        {"a stranger to the group", true, COLLEAGUE, FOREIGN_GROUP, 0672, WRITER, WRITERS_GROUP, 0622},
    };
    ::chmod(folder.c_str(), 0777);
    for (const Case& c : cases) {
        const fs::path target = folder / "shared.qvr";
        std::ofstream(target) << "old";
        ASSERT_EQ(::chown(target.c_str(), c.owner, c.group), 0);
        ASSERT_EQ(::chmod(target.c_str(), c.mode), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const gid_t groups[] = {SHARED_GROUP};
            if (c.asWriter && (::setgroups(1, groups) != 0 || ::setgid(WRITERS_GROUP) != 0 || ::setuid(WRITER) != 0))
                ::_exit(2);
            ::_exit(qvr_encode_file(&image, target.c_str()) == QVR_OK ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.what;
        struct stat info {};
        ASSERT_EQ(::stat(target.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, c.ownerAfter) << c.what;
        EXPECT_EQ(info.st_gid, c.groupAfter) << c.what;
        EXPECT_EQ(info.st_mode & 07777, c.modeAfter) << c.what;
        EXPECT_NE(contents(target), (Bytes{'o', 'l', 'd'})) << c.what;
    }
}

// A push decoder holds the bytes a few rows can use, never the whole file
// (its largest allocation here is a ring of rows).
TEST(QvrApi, APushDecoderHoldsAFewRowsNotTheFile) {
    const uint32_t width = 4000, height = 300;
    Bytes pixels(size_t{width} * height * 3);
    uint32_t seed = 5;
    for (uint8_t& v : pixels) v = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
    qvr_image image{width, height, QVR_FORMAT_RGB, pixels.data(), {}};
    void* encoded = nullptr;
    size_t size = 0;
    ASSERT_EQ(qvr_encode_memory(&image, &encoded, &size), QVR_OK);
    ASSERT_GT(size, size_t{2} << 20);
    uint32_t rows = 0;
    const qvr_row_callback count = [](void* user, const qvr_row* row) {
        if (row->pixels != nullptr) ++*static_cast<uint32_t*>(user);
        return 0;
    };
    largestRequest = 0;
    qvr_decoder* decoder = nullptr;
    ASSERT_EQ(qvr_decoder_new_push(QVR_FORMAT_RGB, nullptr, count, &rows, &decoder), QVR_OK);
    qvr_error error = QVR_OK;
    for (size_t at = 0; at < size && error == QVR_OK; at += 65536)
        error =
            qvr_decoder_push(decoder, static_cast<const uint8_t*>(encoded) + at, std::min<size_t>(65536, size - at));
    EXPECT_EQ(error, QVR_OK);
    EXPECT_EQ(qvr_decoder_finish(decoder), QVR_OK);
    qvr_decoder_free(decoder);
    qvr_free(encoded);
    EXPECT_EQ(rows, height);
    EXPECT_LT(largestRequest, 256u << 10);
}

TEST(QvrApi, EveryErrorHasItsOwnText) {
    std::set<std::string> texts;
    for (int code = QVR_OK; code <= QVR_ERROR_CANCELLED; ++code) {
        const char* text = qvr_error_string(static_cast<qvr_error>(code));
        ASSERT_NE(text, nullptr);
        EXPECT_GT(std::strlen(text), 5u);
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), static_cast<size_t>(QVR_ERROR_CANCELLED + 1));
    EXPECT_STREQ(qvr_error_string(static_cast<qvr_error>(15)), "unknown error code");
}

}  // namespace
}  // namespace qvr::test
