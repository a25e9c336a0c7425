// qvr_bench CORPUS_DIR: measures QVR against its peers on every PNG in a folder,
// in one process and one run: QVR decode and encode from and to memory
// (loadQvrMemory, saveQvrMemory: file bytes to pixels and back), the QOI reference
// codec and libspng on the same pixels, memcpy of the decoded pixels, and
// opening and saving through the module's entry point with the test host.
// Every round trip is checked while it is measured.
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

#include "streams/image_io.h"
#include "tools/common/png_io.h"
#include "tools/host/document_convert.h"
#include "tools/host/module_loader.h"
#include "tools/host/test_host.h"

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
    Subject s{std::filesystem::path(path).stem().string(), "", png.image, {}, 3};
    const RasterImage& im = s.image;
    const size_t count = static_cast<size_t>(im.width) * static_cast<size_t>(im.height);
    s.cls = im.depth == 8 ? "idx" : im.depth == 24 ? "rgb" : "rgba";
    s.channels = im.depth == 32 ? 4 : 3;
    s.pixels.resize(count * static_cast<size_t>(s.channels));
    for (size_t p = 0; p < count; ++p)
        for (size_t c = 0; c < static_cast<size_t>(s.channels); ++c) {
            uint8_t v;
            if (im.depth == 8) v = im.palette[3 * im.indices[p] + c];
            else v = c < 3 ? im.rgb[3 * p + c] : im.alpha[p];
            s.pixels[p * static_cast<size_t>(s.channels) + c] = v;
        }
    return s;
}

// ---- QVR from and to memory, as a program using the library does ----

Bytes qvrEncode(const RasterImage& image) {
    Bytes file;
    const std::string problem = saveQvrMemory(image, file);
    if (!problem.empty()) fail("qvr encode: " + problem);
    return file;
}

void qvrDecode(const Bytes& file, RasterImage& out) {
    const std::string problem = loadQvrMemory(file.data(), file.size(), out);
    if (!problem.empty()) fail("qvr decode: " + problem);
}

bool sameImage(const RasterImage& a, const RasterImage& b) {
    return a.width == b.width && a.height == b.height && a.depth == b.depth && a.indices == b.indices &&
           a.rgb == b.rgb && a.alpha == b.alpha && (a.depth != 8 || a.palette == b.palette);
}

// ---- QOI ----

Bytes qoiEncode(const Subject& s) {
    const qoi_desc desc{static_cast<unsigned>(s.image.width), static_cast<unsigned>(s.image.height),
                        static_cast<unsigned char>(s.channels), QOI_SRGB};
    int size = 0;
    void* data = qoi_encode(s.pixels.data(), &desc, &size);
    if (!data) fail("qoi encode");
    Bytes out(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    QOI_FREE(data);
    return out;
}

void qoiDecode(const Bytes& file, int channels, Bytes& out) {
    qoi_desc desc{};
    void* data = qoi_decode(file.data(), static_cast<int>(file.size()), &desc, channels);
    if (!data) fail("qoi decode");
    out.assign(static_cast<uint8_t*>(data),
               static_cast<uint8_t*>(data) + static_cast<size_t>(desc.width) * desc.height * static_cast<size_t>(channels));
    QOI_FREE(data);
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
    if (spng_encode_image(ctx, pixels->data(), pixels->size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE))
        fail("png encode");
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

Row measure(const Subject& s, bool withEntryPoint) {
    Row r{s.name, s.cls, static_cast<double>(s.image.width) * s.image.height / 1e6, 0, 0, 0, 0, 0, 0, 0, 0, 0,
          0, 0, 0, 0};

    Bytes qvrFile;
    r.qvrEnc = bestSeconds([&] { qvrFile = qvrEncode(s.image); });
    {  // the general path over a MemoryStream writes the same bytes
        MemoryStream general;
        if (!saveQvr(general, s.image).empty() || general.bytes() != qvrFile)
            fail(s.name + ": the memory path wrote other bytes than the general path");
    }
    RasterImage decoded;
    r.qvrDec = bestSeconds([&] { qvrDecode(qvrFile, decoded); });
    if (!sameImage(keptByQvr(s.image), decoded)) fail(s.name + ": QVR round trip differs");

    Bytes qoiFile, qoiPixels;
    r.qoiEnc = bestSeconds([&] { qoiFile = qoiEncode(s); });
    r.qoiDec = bestSeconds([&] { qoiDecode(qoiFile, s.channels, qoiPixels); });
    if (qoiPixels != s.pixels) fail(s.name + ": QOI round trip differs");

    Bytes pngFile, pngPixels;
    r.pngEnc = bestSeconds([&] { pngFile = pngEncode(s); }, 5);
    r.pngDec = bestSeconds([&] { pngDecode(pngFile, pngPixels); }, 20);
    if (pngPixels != (s.cls == "idx" ? s.image.indices : s.pixels)) fail(s.name + ": PNG round trip differs");

    // The decoded planes, copied: what any decoder must at least write.
    const Bytes& plane = s.cls == "idx" ? decoded.indices : decoded.rgb;
    Bytes copy(plane.size() + decoded.alpha.size());
    r.copy = bestSeconds([&] {
        std::memcpy(copy.data(), plane.data(), plane.size());
        std::memcpy(copy.data() + plane.size(), decoded.alpha.data(), decoded.alpha.size());
    });

    if (withEntryPoint) {
        const EntryFigures e = throughEntryPoint(s, qvrFile, decoded);
        r.entryOpen = e.openSeconds;
        r.entrySave = e.saveSeconds;
    }
    r.rawBytes = static_cast<double>(s.pixels.size() / static_cast<size_t>(s.channels)) *
                 (s.cls == "idx" ? 1 : s.channels);
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
        if (a == "--no-entry") withEntryPoint = false;
        else if (a == "--min-time" && i + 1 < argc) minSeconds = std::stod(argv[++i]);
        else dir = a;
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

    std::printf("%-22s %-4s %6s | %-40s | %-40s | %s\n", "image", "kind", "MP",
                "decode MP/s: qvr qoi png memcpy entry", "encode MP/s: qvr qoi png entry",
                "dec qvr/qoi qvr/memcpy  enc qvr/qoi  size/raw qvr qoi png");
    std::map<std::string, std::vector<double>> decodeRatios, encodeRatios;
    std::map<std::string, std::pair<double, double>> allRatios;  // per image: decode, encode
    for (const std::string& file : files) {
        const Subject s = subjectFrom(file);
        const Row r = measure(s, withEntryPoint);
        const double dq = r.qoiDec / r.qvrDec, dm = r.copy / r.qvrDec, eq = r.qoiEnc / r.qvrEnc;
        decodeRatios[r.cls].push_back(dq);
        encodeRatios[r.cls].push_back(eq);
        allRatios[r.name] = {dq, eq};
        std::printf("%-22s %-4s %6.2f | %7.1f %7.1f %6.1f %8.1f %6.1f | %7.1f %7.1f %6.1f %6.1f | %5.2f %8.3f %8.2f %10.3f %5.3f %5.3f\n",
                    r.name.c_str(), r.cls.c_str(), r.megapixels, mps(r.megapixels, r.qvrDec),
                    mps(r.megapixels, r.qoiDec), mps(r.megapixels, r.pngDec), mps(r.megapixels, r.copy),
                    mps(r.megapixels, r.entryOpen), mps(r.megapixels, r.qvrEnc), mps(r.megapixels, r.qoiEnc),
                    mps(r.megapixels, r.pngEnc), mps(r.megapixels, r.entrySave), dq, dm, eq,
                    r.qvrBytes / r.rawBytes, r.qoiBytes / r.rawBytes, r.pngBytes / r.rawBytes);
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
    std::printf("  smallest: decode %.3f (%s)  encode %.3f (%s)\n", minDecode, slowestDecode.c_str(),
                minEncode, slowestEncode.c_str());
    std::printf("summary: decode-vs-qoi idx=%.3f rgb=%.3f rgba=%.3f encode-vs-qoi idx=%.3f rgb=%.3f rgba=%.3f "
                "min-decode=%.3f min-encode=%.3f\n",
                geomean(decodeRatios["idx"]), geomean(decodeRatios["rgb"]), geomean(decodeRatios["rgba"]),
                geomean(encodeRatios["idx"]), geomean(encodeRatios["rgb"]), geomean(encodeRatios["rgba"]),
                minDecode, minEncode);
    return 0;
}
