// qvr_bench CORPUS_DIR: measures QVR against its peers on every PNG in a folder,
// in one process and one run: QVR decode and encode through the public C API
// (qvr_decode_memory, qvr_encode_memory: file bytes to pixels and back, each
// call allocating its result as QOI's do), the QOI reference codec and libspng
// on the same pixels, memcpy of the decoded pixels, and opening and saving
// through the module's entry point with the test host. Every round trip is
// checked while it is measured.
#define QOI_IMPLEMENTATION
#include <qoi.h>
#include <spng.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "qvr/qvr.h"
#include "streams/image_io.h"
#include "tools/common/png_io.h"
#include "tests/host/document_convert.h"
#include "tests/host/module_loader.h"
#include "tests/host/test_host.h"

namespace {

using namespace qvr;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

double minSeconds = 0.25;  // each figure is the best of repeats adding up to at least this

// The best time of one call of `work`, repeated until minSeconds have passed.
double bestSeconds(const std::function<void()>& work, int maxRepeats = 1000) {
    double best = 1e30, total = 0;
    for (int i = 0; i < maxRepeats && (total < minSeconds || i < 2); ++i) {
        const auto start = Clock::now();
        work();
        const double s = std::chrono::duration<double>(Clock::now() - start).count();
        best = std::min(best, s);
        total += s;
    }
    return best;
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "qvr_bench: %s\n", what.c_str());
    std::exit(1);
}

// RGBA images keep their alpha plane even where every pixel is opaque, so that
// each class measures its own kind of file.
const qvr_encode_options ENCODE_OPTIONS{QVR_COLOURS_RENUMBER, QVR_ALPHA_KEEP, {}};

// ---- the pixels every codec sees ----

struct Subject {
    std::string name;
    std::string cls;    // idx, rgb, rgba
    RasterImage image;  // as QVR stores it
    Bytes pixels;       // 8-bit RGB or RGBA, for QOI, PNG and memcpy
    int channels;
};

Subject subjectFrom(const std::string& path) {
    PngImage png;
    const std::string problem = readPng(path, png);
    if (!problem.empty()) fail(path + ": " + problem);
    // An indexed image is measured as an 8 bpp file keeps it (index 255 as 246,
    // entry 246 white), which the library then stores as given: the quantized
    // images use every index, and would otherwise be refused.
    if (png.image.depth == 8) png.image = keptByQvr(png.image);
    Subject s{std::filesystem::path(path).stem().string(), "", png.image, {}, 3};
    const RasterImage& im = s.image;
    const size_t count = static_cast<size_t>(im.width) * static_cast<size_t>(im.height);
    s.cls = im.depth == 8 ? "idx" : im.depth == 24 ? "rgb" : "rgba";
    s.channels = im.depth == 32 ? 4 : 3;
    s.pixels.resize(count * static_cast<size_t>(s.channels));
    for (size_t p = 0; p < count; ++p)
        for (size_t c = 0; c < static_cast<size_t>(s.channels); ++c) {
            uint8_t v;
            if (im.depth == 8)
                v = im.palette[3 * im.indices[p] + c];
            else
                v = c < 3 ? im.rgb[3 * p + c] : im.alpha[p];
            s.pixels[p * static_cast<size_t>(s.channels) + c] = v;
        }
    return s;
}

// ---- QVR from and to memory, as a program using the library does ----

// The subject as the library takes it: indices and palette, RGB or RGBA.
qvr_image apiImage(Subject& s) {
    qvr_image image{};
    image.width = static_cast<uint32_t>(s.image.width);
    image.height = static_cast<uint32_t>(s.image.height);
    if (s.cls == "idx") {
        image.format = QVR_FORMAT_INDEXED;
        image.pixels = s.image.indices.data();
        std::memcpy(image.palette, s.image.palette.data(), sizeof image.palette);
    } else {
        image.format = s.channels == 4 ? QVR_FORMAT_RGBA : QVR_FORMAT_RGB;
        image.pixels = s.pixels.data();
    }
    return image;
}

Bytes qvrEncode(const qvr_image& image) {
    void* data = nullptr;
    size_t size = 0;
    const qvr_error error = qvr_encode_memory_with(&image, &ENCODE_OPTIONS, &data, &size);
    if (error != QVR_OK) fail(std::string("qvr encode: ") + qvr_error_string(error));
    Bytes out(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    qvr_free(data);
    return out;
}

// The decoded pixels in the file's own layout (indices, RGB or RGBA).
Bytes qvrDecode(const Bytes& file) {
    qvr_image image{};
    const qvr_error error = qvr_decode_memory(file.data(), file.size(), QVR_FORMAT_AUTO, nullptr, &image);
    if (error != QVR_OK) fail(std::string("qvr decode: ") + qvr_error_string(error));
    const size_t bytes =
        static_cast<size_t>(image.width) * image.height * static_cast<size_t>(qvr_format_channels(image.format));
    Bytes out(image.pixels, image.pixels + bytes);
    qvr_free(image.pixels);
    return out;
}

// What a QVR round trip must give, in the same layout.
Bytes keptPixels(const Subject& s) {
    const RasterImage kept = keptByQvr(s.image);
    if (s.cls == "idx") return kept.indices;
    if (s.cls == "rgb") return kept.rgb;
    Bytes out(kept.rgb.size() / 3 * 4);
    for (size_t i = 0; i < kept.alpha.size(); ++i) {
        std::memcpy(&out[4 * i], &kept.rgb[3 * i], 3);
        out[4 * i + 3] = kept.alpha[i];
    }
    return out;
}

// ---- QOI ----

// QOI's own calls: each allocates its result, as QVR's do; the caller frees
// it with QOI_FREE.
void* qoiEncodeCall(const Subject& s, int* size) {
    const qoi_desc desc{static_cast<unsigned>(s.image.width), static_cast<unsigned>(s.image.height),
                        static_cast<unsigned char>(s.channels), QOI_SRGB};
    void* data = qoi_encode(s.pixels.data(), &desc, size);
    if (!data) fail("qoi encode");
    return data;
}

void* qoiDecodeCall(const Bytes& file, int channels, qoi_desc* desc) {
    void* data = qoi_decode(file.data(), static_cast<int>(file.size()), desc, channels);
    if (!data) fail("qoi decode");
    return data;
}

// The same calls, keeping the result for the checks.
Bytes qoiEncode(const Subject& s) {
    int size = 0;
    auto* data = static_cast<uint8_t*>(qoiEncodeCall(s, &size));
    Bytes out(data, data + size);
    QOI_FREE(data);
    return out;
}

Bytes qoiDecode(const Bytes& file, int channels) {
    qoi_desc desc{};
    auto* data = static_cast<uint8_t*>(qoiDecodeCall(file, channels, &desc));
    Bytes out(data, data + static_cast<size_t>(desc.width) * desc.height * static_cast<size_t>(channels));
    QOI_FREE(data);
    return out;
}

// ---- PNG (libspng), in memory ----

Bytes pngEncode(const Subject& s) {
    spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr ihdr{};
    ihdr.width = static_cast<uint32_t>(s.image.width);
    ihdr.height = static_cast<uint32_t>(s.image.height);
    ihdr.bit_depth = 8;
    const Bytes* pixels = &s.pixels;
    if (s.cls == "idx") {
        ihdr.color_type = SPNG_COLOR_TYPE_INDEXED;
        spng_set_ihdr(ctx, &ihdr);
        spng_plte plte{};
        plte.n_entries = 256;
        for (int i = 0; i < 256; ++i) {
            plte.entries[i].red = s.image.palette[static_cast<size_t>(3 * i)];
            plte.entries[i].green = s.image.palette[static_cast<size_t>(3 * i + 1)];
            plte.entries[i].blue = s.image.palette[static_cast<size_t>(3 * i + 2)];
        }
        spng_set_plte(ctx, &plte);
        pixels = &s.image.indices;
    } else {
        ihdr.color_type = s.channels == 4 ? SPNG_COLOR_TYPE_TRUECOLOR_ALPHA : SPNG_COLOR_TYPE_TRUECOLOR;
        spng_set_ihdr(ctx, &ihdr);
    }
    if (spng_encode_image(ctx, pixels->data(), pixels->size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE)) fail("png encode");
    size_t size = 0;
    int err = 0;
    void* data = spng_get_png_buffer(ctx, &size, &err);
    Bytes out(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    std::free(data);
    spng_ctx_free(ctx);
    return out;
}

void pngDecode(const Bytes& file, Bytes& out) {
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, file.data(), file.size());
    size_t size = 0;
    spng_decoded_image_size(ctx, SPNG_FMT_PNG, &size);
    out.resize(size);
    if (spng_decode_image(ctx, out.data(), size, SPNG_FMT_PNG, 0)) fail("png decode");
    spng_ctx_free(ctx);
}

// ---- the module through its entry point ----

struct EntryFigures {
    double openSeconds, saveSeconds;
};

EntryFigures throughEntryPoint(const Subject& s, const Bytes& qvrFile, const RasterImage& decoded) {
    static const PluginEntryProc entry = qvrhost::loadModule("", nullptr);
    const std::string dir = std::filesystem::temp_directory_path().string();
    const std::string in = dir + "/qvr_bench_in.qvr", out = dir + "/qvr_bench_out.qvr";
    std::FILE* f = std::fopen(in.c_str(), "wb");
    std::fwrite(qvrFile.data(), 1, qvrFile.size(), f);
    std::fclose(f);

    qvrhost::TestHost opener(entry);
    auto start = Clock::now();
    if (opener.open(in) != 0) fail(s.name + ": open through the entry point failed");
    const double open = std::chrono::duration<double>(Clock::now() - start).count();
    const RasterImage opened = qvrhost::rasterFromDocument(opener.document());
    if (opened.indices != decoded.indices || opened.rgb != decoded.rgb || opened.alpha != decoded.alpha)
        fail(s.name + ": the entry point opened other pixels than the codec decoded");

    qvrhost::TestHost saver(entry);
    saver.document() = qvrhost::documentFromRaster(s.image);
    start = Clock::now();
    if (saver.save(out) != 0) fail(s.name + ": save through the entry point failed");
    const double save = std::chrono::duration<double>(Clock::now() - start).count();
    std::FILE* g = std::fopen(out.c_str(), "rb");
    Bytes saved(qvrFile.size() + 1);
    const size_t n = std::fread(saved.data(), 1, saved.size(), g);
    std::fclose(g);
    saved.resize(n);
    if (saved != qvrFile) fail(s.name + ": the entry point saved other bytes than the codec wrote");
    std::filesystem::remove(in);
    std::filesystem::remove(out);
    return {open, save};
}

// ---- one image ----

struct Row {
    std::string name, cls;
    double megapixels;
    double qvrDec, qoiDec, pngDec, copy, entryOpen;  // seconds
    double qvrEnc, qoiEnc, pngEnc, entrySave;
    double rawBytes, qvrBytes, qoiBytes, pngBytes;
};

Row measure(Subject& s, bool withEntryPoint) {
    Row r{s.name, s.cls, static_cast<double>(s.image.width) * s.image.height / 1e6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
          0,      0};

    const qvr_image input = apiImage(s);
    r.qvrEnc = bestSeconds([&] {
        void* data = nullptr;
        size_t size = 0;
        if (qvr_encode_memory_with(&input, &ENCODE_OPTIONS, &data, &size) != QVR_OK) fail(s.name + ": qvr encode");
        qvr_free(data);
    });
    const Bytes qvrFile = qvrEncode(input);
    {  // the general path over a MemoryStream writes the same bytes
        MemoryStream general;
        if (!saveQvr(general, s.image).empty() || general.bytes() != qvrFile)
            fail(s.name + ": the library wrote other bytes than the general path");
    }
    r.qvrDec = bestSeconds([&] {
        qvr_image image{};
        if (qvr_decode_memory(qvrFile.data(), qvrFile.size(), QVR_FORMAT_AUTO, nullptr, &image) != QVR_OK)
            fail(s.name + ": qvr decode");
        qvr_free(image.pixels);
    });
    const Bytes qvrPixels = qvrDecode(qvrFile);
    if (qvrPixels != keptPixels(s)) fail(s.name + ": QVR round trip differs");

    r.qoiEnc = bestSeconds([&] {
        int size = 0;
        QOI_FREE(qoiEncodeCall(s, &size));
    });
    const Bytes qoiFile = qoiEncode(s);
    r.qoiDec = bestSeconds([&] {
        qoi_desc desc{};
        QOI_FREE(qoiDecodeCall(qoiFile, s.channels, &desc));
    });
    if (qoiDecode(qoiFile, s.channels) != s.pixels) fail(s.name + ": QOI round trip differs");

    Bytes pngFile, pngPixels;
    r.pngEnc = bestSeconds([&] { pngFile = pngEncode(s); }, 5);
    r.pngDec = bestSeconds([&] { pngDecode(pngFile, pngPixels); }, 20);
    if (pngPixels != (s.cls == "idx" ? s.image.indices : s.pixels)) fail(s.name + ": PNG round trip differs");

    // The decoded pixels, copied: what any decoder must at least write.
    Bytes copy(qvrPixels.size());
    r.copy = bestSeconds([&] { std::memcpy(copy.data(), qvrPixels.data(), qvrPixels.size()); });

    if (withEntryPoint) {
        RasterImage decoded;
        if (!loadQvrMemory(qvrFile.data(), qvrFile.size(), decoded).empty()) fail(s.name + ": qvr decode");
        const EntryFigures e = throughEntryPoint(s, qvrFile, decoded);
        r.entryOpen = e.openSeconds;
        r.entrySave = e.saveSeconds;
    }
    r.rawBytes =
        static_cast<double>(s.pixels.size() / static_cast<size_t>(s.channels)) * (s.cls == "idx" ? 1 : s.channels);
    r.qvrBytes = static_cast<double>(qvrFile.size());
    r.qoiBytes = static_cast<double>(qoiFile.size());
    r.pngBytes = static_cast<double>(pngFile.size());
    return r;
}

double mps(double megapixels, double seconds) { return seconds > 0 ? megapixels / seconds : 0; }

double geomean(const std::vector<double>& v) {
    if (v.empty()) return 0;
    double log = 0;
    for (double x : v) log += std::log(x);
    return std::exp(log / static_cast<double>(v.size()));
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir;
    bool withEntryPoint = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--no-entry")
            withEntryPoint = false;
        else if (a == "--min-time" && i + 1 < argc)
            minSeconds = std::stod(argv[++i]);
        else
            dir = a;
    }
    if (dir.empty()) {
        std::fprintf(stderr, "usage: qvr_bench CORPUS_DIR [--min-time SECONDS] [--no-entry]\n");
        return 2;
    }
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().extension() == ".png") files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    if (files.empty()) fail("no PNG files in " + dir);

    std::printf("%-22s %-4s %6s | %-40s | %-40s | %s\n", "image", "kind", "MP", "decode MP/s: qvr qoi png memcpy entry",
                "encode MP/s: qvr qoi png entry", "dec qvr/qoi qvr/memcpy  enc qvr/qoi  size/raw qvr qoi png");
    std::map<std::string, std::vector<double>> decodeRatios, encodeRatios;
    std::map<std::string, std::pair<double, double>> allRatios;  // per image: decode, encode
    for (const std::string& file : files) {
        Subject s = subjectFrom(file);
        const Row r = measure(s, withEntryPoint);
        const double dq = r.qoiDec / r.qvrDec, dm = r.copy / r.qvrDec, eq = r.qoiEnc / r.qvrEnc;
        decodeRatios[r.cls].push_back(dq);
        encodeRatios[r.cls].push_back(eq);
        allRatios[r.name] = {dq, eq};
        std::printf(
            "%-22s %-4s %6.2f | %7.1f %7.1f %6.1f %8.1f %6.1f | %7.1f %7.1f %6.1f %6.1f | %5.2f %8.3f %8.2f %10.3f "
            "%5.3f %5.3f\n",
            r.name.c_str(), r.cls.c_str(), r.megapixels, mps(r.megapixels, r.qvrDec), mps(r.megapixels, r.qoiDec),
            mps(r.megapixels, r.pngDec), mps(r.megapixels, r.copy), mps(r.megapixels, r.entryOpen),
            mps(r.megapixels, r.qvrEnc), mps(r.megapixels, r.qoiEnc), mps(r.megapixels, r.pngEnc),
            mps(r.megapixels, r.entrySave), dq, dm, eq, r.qvrBytes / r.rawBytes, r.qoiBytes / r.rawBytes,
            r.pngBytes / r.rawBytes);
        std::fflush(stdout);
    }
    std::printf("\ngeometric means, QVR over QOI (above 1: QVR faster)\n");
    for (const char* cls : {"idx", "rgb", "rgba"})
        std::printf("  %-4s decode %.3f  encode %.3f  (%zu images)\n", cls, geomean(decodeRatios[cls]),
                    geomean(encodeRatios[cls]), decodeRatios[cls].size());
    double minDecode = 1e30, minEncode = 1e30;
    std::string slowestDecode, slowestEncode;
    for (const auto& [name, ratios] : allRatios) {
        if (ratios.first < minDecode) minDecode = ratios.first, slowestDecode = name;
        if (ratios.second < minEncode) minEncode = ratios.second, slowestEncode = name;
    }
    std::printf("  smallest: decode %.3f (%s)  encode %.3f (%s)\n", minDecode, slowestDecode.c_str(), minEncode,
                slowestEncode.c_str());
    std::printf(
        "summary: decode-vs-qoi idx=%.3f rgb=%.3f rgba=%.3f encode-vs-qoi idx=%.3f rgb=%.3f rgba=%.3f "
        "min-decode=%.3f min-encode=%.3f\n",
        geomean(decodeRatios["idx"]), geomean(decodeRatios["rgb"]), geomean(decodeRatios["rgba"]),
        geomean(encodeRatios["idx"]), geomean(encodeRatios["rgb"]), geomean(encodeRatios["rgba"]), minDecode,
        minEncode);
    return 0;
}
