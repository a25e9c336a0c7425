#include "tools/common/png_io.h"

#include <spng.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace qvr {
namespace {

struct SpngDeleter {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using SpngContext = std::unique_ptr<spng_ctx, SpngDeleter>;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::string spngError(const char* what, int code) {
    return std::string(what) + ": " + spng_strerror(code);
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

std::string readPalettePng(spng_ctx* ctx, const spng_ihdr& ihdr, PngImage& out) {
    spng_plte plte{};
    if (int err = spng_get_plte(ctx, &plte)) return spngError("palette", err);
    out.kind = PngKind::Palette;
    out.paletteEntries = static_cast<int32_t>(plte.n_entries);
    out.image.allocate(static_cast<int32_t>(ihdr.width), static_cast<int32_t>(ihdr.height), 8);
    for (uint32_t i = 0; i < plte.n_entries && i < 256; ++i) {
        out.image.palette[3 * i] = plte.entries[i].red;
        out.image.palette[3 * i + 1] = plte.entries[i].green;
        out.image.palette[3 * i + 2] = plte.entries[i].blue;
    }
    size_t size = 0;
    if (int err = spng_decoded_image_size(ctx, SPNG_FMT_PNG, &size)) return spngError("decode", err);
    std::vector<uint8_t> packed(size);
    if (int err = spng_decode_image(ctx, packed.data(), size, SPNG_FMT_PNG, 0))
        return spngError("decode", err);
    if (ihdr.bit_depth == 8) out.image.indices = std::move(packed);
    else unpackIndices(packed, ihdr.bit_depth, out.image);
    return "";
}

std::string readColourPng(spng_ctx* ctx, const spng_ihdr& ihdr, PngImage& out) {
    spng_trns trns{};
    const bool hasTrns = spng_get_trns(ctx, &trns) == 0;
    const bool hasAlpha = ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ||
                          ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA || hasTrns;
    out.kind = hasAlpha ? PngKind::Rgba : PngKind::Rgb;
    const int32_t width = static_cast<int32_t>(ihdr.width), height = static_cast<int32_t>(ihdr.height);
    out.image.allocate(width, height, hasAlpha ? 32 : 24);
    const int format = hasAlpha ? SPNG_FMT_RGBA8 : SPNG_FMT_RGB8;
    size_t size = 0;
    if (int err = spng_decoded_image_size(ctx, format, &size)) return spngError("decode", err);
    std::vector<uint8_t> pixels(size);
    if (int err = spng_decode_image(ctx, pixels.data(), size, format, hasTrns ? SPNG_DECODE_TRNS : 0))
        return spngError("decode", err);
    if (!hasAlpha) {
        out.image.rgb = std::move(pixels);
        return "";
    }
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    for (size_t p = 0; p < count; ++p) {
        for (int c = 0; c < 3; ++c) out.image.rgb[3 * p + static_cast<size_t>(c)] = pixels[4 * p + static_cast<size_t>(c)];
        out.image.alpha[p] = pixels[4 * p + 3];
    }
    return "";
}

}  // namespace

std::string readPng(const std::string& path, PngImage& out) {
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) return "cannot open " + path;
    SpngContext ctx(spng_ctx_new(0));
    if (!ctx) return "out of memory";
    spng_set_crc_action(ctx.get(), SPNG_CRC_ERROR, SPNG_CRC_ERROR);
    if (int err = spng_set_png_file(ctx.get(), file.get())) return spngError("not a PNG file", err);
    spng_ihdr ihdr{};
    if (int err = spng_get_ihdr(ctx.get(), &ihdr)) return spngError("not a PNG file", err);
    if (ihdr.width > 32767 || ihdr.height > 32767)
        return "image too large (" + std::to_string(ihdr.width) + " x " + std::to_string(ihdr.height) + ")";
    if (ihdr.color_type == SPNG_COLOR_TYPE_INDEXED) return readPalettePng(ctx.get(), ihdr, out);
    return readColourPng(ctx.get(), ihdr, out);
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
    if (int err = spng_set_ihdr(ctx.get(), &ihdr)) return spngError("header", err);
    if (image.depth == 8) {
        spng_plte plte{};
        plte.n_entries = 256;
        for (int i = 0; i < 256; ++i) {
            plte.entries[i].red = image.palette[static_cast<size_t>(3 * i)];
            plte.entries[i].green = image.palette[static_cast<size_t>(3 * i + 1)];
            plte.entries[i].blue = image.palette[static_cast<size_t>(3 * i + 2)];
        }
        if (int err = spng_set_plte(ctx.get(), &plte)) return spngError("palette", err);
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
    if (int err = spng_encode_image(ctx.get(), pixels.data(), pixels.size(), SPNG_FMT_PNG,
                                    SPNG_ENCODE_FINALIZE))
        return spngError("encode", err);
    size_t size = 0;
    int err = 0;
    std::unique_ptr<void, decltype(&std::free)> png(spng_get_png_buffer(ctx.get(), &size, &err), &std::free);
    if (!png) return spngError("encode", err);
    FilePtr file(std::fopen(path.c_str(), "wb"));
    if (!file) return "cannot create " + path;
    const bool written = std::fwrite(png.get(), 1, size, file.get()) == size;
    const bool closed = std::fclose(file.release()) == 0;
    if (!written || !closed) return "cannot write " + path;
    return "";
}

}  // namespace qvr
