#include "tools/common/png_io.h"

#include <spng.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "codec/format.h"
#include "streams/image_io.h"
#include "tools/common/messages.h"
#include "tools/common/safe_output.h"

namespace qvr {
namespace {

constexpr size_t CHUNK_SIZE_LIMIT = 16u << 20;   // one ancillary chunk (image data is not limited)
constexpr size_t CHUNK_CACHE_LIMIT = 64u << 20;  // ancillary chunks kept in memory, in all
constexpr int32_t INTERLACE_PASSES = 7;

struct SpngDeleter {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using SpngContext = std::unique_ptr<spng_ctx, SpngDeleter>;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// libspng's words, made plain where a user would not recognise them.
std::string spngReason(int code) {
    switch (code) {
    case SPNG_ESIGNATURE: return "not a PNG file";
    case SPNG_ECHUNK_CRC: return "damaged PNG: a chunk fails its CRC check";
    case SPNG_EIO:
    case SPNG_EOF:
    case SPNG_EIDAT_TOO_SHORT: return "damaged PNG: the file ends too early";
    case SPNG_EMEM: return "out of memory";
    default: return std::string("damaged PNG: ") + spng_strerror(code);
    }
}

// Rows are decoded one at a time so that a large file reports progress.
// Interlaced files deliver each row several times, one pass after another.
struct RowDecoder {
    spng_ctx* ctx;
    int32_t passes;  // 7 for interlaced files, else 1
    PngProgress progress;
    void* context;

    std::string decode(uint8_t* image, size_t stride, uint32_t height, int format, int flags) const {
        if (int err = spng_decode_image(ctx, nullptr, 0, format, flags | SPNG_DECODE_PROGRESSIVE))
            return spngReason(err);
        const int32_t rows = static_cast<int32_t>(height);
        int err = 0;
        do {
            spng_row_info row{};
            err = spng_get_row_info(ctx, &row);
            if (err == 0) err = spng_decode_row(ctx, image + row.row_num * stride, stride);
            if ((err == 0 || err == SPNG_EOI) && progress) {
                const int32_t pass = static_cast<int32_t>(row.pass);
                progress(context, pass * rows + static_cast<int32_t>(row.row_num) + 1, passes * rows);
            }
        } while (err == 0);
        if (err == SPNG_EOI) err = spng_decode_chunks(ctx);  // the chunks after the image, CRCs too
        return err == 0 ? "" : spngReason(err);
    }
};

constexpr uint32_t SRGB_GAMMA = 45455;  // gAMA of 1/2.2, in 100000ths, as sRGB files carry
constexpr uint32_t GAMMA_TOLERANCE = 500;

// A QVR file carries no colour space: viewers show its colours as sRGB. What
// the PNG says otherwise is lost, and the user is told so.
std::string colourSpaceNote(spng_ctx* ctx) {
    spng_iccp iccp{};
    if (spng_get_iccp(ctx, &iccp) == 0)
        return "the PNG's colour profile is not kept (QVR files have none; viewers show them as sRGB)";
    uint8_t srgb = 0;
    if (spng_get_srgb(ctx, &srgb) == 0) return "";
    uint32_t gamma = 0;
    if (spng_get_gama_int(ctx, &gamma) == 0 &&
        (gamma + GAMMA_TOLERANCE < SRGB_GAMMA || gamma > SRGB_GAMMA + GAMMA_TOLERANCE))
        return "the PNG's gamma " + std::to_string(gamma / 100000.0).substr(0, 7) +
               " is not kept (QVR files have none; viewers show them as sRGB)";
    return "";
}

// Palette files may pack 1, 2 or 4 bits per index; spread them to one byte each.
void unpackIndices(const std::vector<uint8_t>& packed, int bitDepth, RasterImage& image) {
    const size_t width = static_cast<size_t>(image.width);
    const size_t stride = (width * static_cast<size_t>(bitDepth) + 7) / 8;
    const int perByte = 8 / bitDepth;
    const int mask = (1 << bitDepth) - 1;
    for (int32_t y = 0; y < image.height; ++y) {
        const uint8_t* src = packed.data() + static_cast<size_t>(y) * stride;
        uint8_t* dst = image.indices.data() + static_cast<size_t>(y) * width;
        for (size_t x = 0; x < width; ++x) {
            const int shift = 8 - bitDepth * (1 + static_cast<int>(x % static_cast<size_t>(perByte)));
            dst[x] = static_cast<uint8_t>((src[x / static_cast<size_t>(perByte)] >> shift) & mask);
        }
    }
}

// True when the file gives some palette entry less than full opacity.
bool paletteHasTransparency(spng_ctx* ctx) {
    spng_trns trns{};
    if (spng_get_trns(ctx, &trns) != 0) return false;
    for (uint32_t i = 0; i < trns.n_type3_entries && i < 256; ++i)
        if (trns.type3_alpha[i] != 255) return true;
    return false;
}

std::string readPalettePng(const RowDecoder& rows, const spng_ihdr& ihdr, PngImage& out) {
    spng_plte plte{};
    if (int err = spng_get_plte(rows.ctx, &plte)) return spngReason(err);
    out.kind = PngKind::Palette;
    out.paletteEntries = static_cast<int32_t>(plte.n_entries);
    out.image.allocate(static_cast<int32_t>(ihdr.width), static_cast<int32_t>(ihdr.height), 8);
    for (uint32_t i = 0; i < plte.n_entries && i < 256; ++i) {
        out.image.palette[3 * i] = plte.entries[i].red;
        out.image.palette[3 * i + 1] = plte.entries[i].green;
        out.image.palette[3 * i + 2] = plte.entries[i].blue;
    }
    const size_t stride = (static_cast<size_t>(ihdr.width) * ihdr.bit_depth + 7) / 8;
    if (ihdr.bit_depth == 8) return rows.decode(out.image.indices.data(), stride, ihdr.height, SPNG_FMT_PNG, 0);
    std::vector<uint8_t> packed(stride * ihdr.height);
    std::string problem = rows.decode(packed.data(), stride, ihdr.height, SPNG_FMT_PNG, 0);
    if (problem.empty()) unpackIndices(packed, ihdr.bit_depth, out.image);
    return problem;
}

std::string readColourPng(const RowDecoder& rows, const spng_ihdr& ihdr, PngImage& out) {
    spng_trns trns{};
    const bool hasTrns = spng_get_trns(rows.ctx, &trns) == 0;
    const bool hasAlpha = ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ||
                          ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA || hasTrns;
    if (ihdr.color_type == SPNG_COLOR_TYPE_INDEXED)
        out.kind = PngKind::PaletteWithAlpha;
    else
        out.kind = hasAlpha ? PngKind::Rgba : PngKind::Rgb;
    const int32_t width = static_cast<int32_t>(ihdr.width), height = static_cast<int32_t>(ihdr.height);
    out.image.allocate(width, height, hasAlpha ? 32 : 24);
    const int format = hasAlpha ? SPNG_FMT_RGBA8 : SPNG_FMT_RGB8;
    const int flags = hasTrns ? SPNG_DECODE_TRNS : 0;
    const size_t stride = static_cast<size_t>(width) * (hasAlpha ? 4 : 3);
    if (!hasAlpha) return rows.decode(out.image.rgb.data(), stride, ihdr.height, format, flags);
    std::vector<uint8_t> pixels(stride * static_cast<size_t>(height));
    std::string problem = rows.decode(pixels.data(), stride, ihdr.height, format, flags);
    if (!problem.empty()) return problem;
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    for (size_t p = 0; p < count; ++p) {
        for (size_t c = 0; c < 3; ++c) out.image.rgb[3 * p + c] = pixels[4 * p + c];
        out.image.alpha[p] = pixels[4 * p + 3];
    }
    return "";
}

}  // namespace

std::string readPng(const std::string& path, PngImage& out, PngProgress progress, void* progressContext) {
    const std::string unreadable = inputProblem(path);
    if (!unreadable.empty()) return unreadable;
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) return systemReason(errno);
    SpngContext ctx(spng_ctx_new(0));
    if (!ctx) return "out of memory";
    spng_set_crc_action(ctx.get(), SPNG_CRC_ERROR, SPNG_CRC_ERROR);
    spng_set_chunk_limits(ctx.get(), CHUNK_SIZE_LIMIT, CHUNK_CACHE_LIMIT);
    if (int err = spng_set_png_file(ctx.get(), file.get())) return spngReason(err);
    spng_ihdr ihdr{};
    if (int err = spng_get_ihdr(ctx.get(), &ihdr)) return spngReason(err);
    if (!imageSizeReadable(ihdr.width, ihdr.height))
        return "the image is " + std::to_string(ihdr.width) + " x " + std::to_string(ihdr.height) + "; " +
               SIZE_RANGE_TEXT;
    if (int err = spng_decode_chunks(ctx.get())) return spngReason(err);  // up to the image data
    out.note = colourSpaceNote(ctx.get());
    const RowDecoder rows{ctx.get(), ihdr.interlace_method ? INTERLACE_PASSES : 1, progress, progressContext};
    if (ihdr.color_type == SPNG_COLOR_TYPE_INDEXED && !paletteHasTransparency(ctx.get()))
        return readPalettePng(rows, ihdr, out);
    return readColourPng(rows, ihdr, out);
}

std::string writePng(const std::string& path, const RasterImage& image) {
    SpngContext ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!ctx) return "out of memory";
    spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr ihdr{};
    ihdr.width = static_cast<uint32_t>(image.width);
    ihdr.height = static_cast<uint32_t>(image.height);
    ihdr.bit_depth = 8;
    const size_t count = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
    std::vector<uint8_t> pixels;
    ihdr.color_type = image.depth == 8    ? SPNG_COLOR_TYPE_INDEXED
                      : image.depth == 24 ? SPNG_COLOR_TYPE_TRUECOLOR
                                          : SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    if (int err = spng_set_ihdr(ctx.get(), &ihdr)) return spngReason(err);
    if (image.depth == 8) {
        spng_plte plte{};
        plte.n_entries = 256;
        for (int i = 0; i < 256; ++i) {
            plte.entries[i].red = image.palette[static_cast<size_t>(3 * i)];
            plte.entries[i].green = image.palette[static_cast<size_t>(3 * i + 1)];
            plte.entries[i].blue = image.palette[static_cast<size_t>(3 * i + 2)];
        }
        if (int err = spng_set_plte(ctx.get(), &plte)) return spngReason(err);
        pixels = image.indices;
    } else if (image.depth == 24) {
        pixels = image.rgb;
    } else {
        pixels.resize(4 * count);
        for (size_t p = 0; p < count; ++p) {
            for (size_t c = 0; c < 3; ++c) pixels[4 * p + c] = image.rgb[3 * p + c];
            pixels[4 * p + 3] = image.alpha[p];
        }
    }
    if (int err = spng_encode_image(ctx.get(), pixels.data(), pixels.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE))
        return spngReason(err);
    size_t size = 0;
    int err = 0;
    std::unique_ptr<void, decltype(&std::free)> png(spng_get_png_buffer(ctx.get(), &size, &err), &std::free);
    if (!png) return spngReason(err);
    return writeFileSafely(path, png.get(), size);
}

}  // namespace qvr
