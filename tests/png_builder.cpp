#include "png_builder.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>

namespace qvr::test {
namespace {

void put32(std::vector<uint8_t>& bytes, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
}

void appendChunk(std::vector<uint8_t>& png, const char* type, const std::vector<uint8_t>& data) {
    put32(png, static_cast<uint32_t>(data.size()));
    const size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    put32(png, static_cast<uint32_t>(crc32(0, png.data() + start, static_cast<uInt>(png.size() - start))));
}

}  // namespace

std::vector<uint8_t> encodePng(const spng_ihdr& ihdr, const std::vector<uint8_t>& pixels, const spng_plte* plte,
                               const spng_trns* trns, uint32_t gamma, bool srgb) {
    spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr header = ihdr;
    spng_set_ihdr(ctx, &header);
    spng_plte palette = plte ? *plte : spng_plte{};
    spng_trns transparency = trns ? *trns : spng_trns{};
    if (plte) spng_set_plte(ctx, &palette);
    if (trns) spng_set_trns(ctx, &transparency);
    if (gamma != 0) spng_set_gama_int(ctx, gamma);
    if (srgb) spng_set_srgb(ctx, 0);
    int err = spng_encode_image(ctx, pixels.data(), pixels.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
    size_t size = 0;
    void* png = err ? nullptr : spng_get_png_buffer(ctx, &size, &err);
    spng_ctx_free(ctx);
    if (!png) return {};
    const auto* bytes = static_cast<const uint8_t*>(png);
    std::vector<uint8_t> result(bytes, bytes + size);
    std::free(png);
    return result;
}

std::vector<uint8_t> rgbPng(uint32_t width, uint32_t height) {
    std::vector<uint8_t> pixels(3 * static_cast<size_t>(width) * height);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>((i * 7 + i / 97) ^ (i >> 11));
    spng_ihdr ihdr{};
    ihdr.width = width;
    ihdr.height = height;
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
    return encodePng(ihdr, pixels);
}

std::vector<uint8_t> headerOnlyPng(uint32_t width, uint32_t height) {
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> ihdr;
    put32(ihdr, width);
    put32(ihdr, height);
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});  // 8-bit RGB, not interlaced
    appendChunk(png, "IHDR", ihdr);
    std::vector<uint8_t> zeros(64, 0), idat(128);
    uLongf size = idat.size();
    compress(idat.data(), &size, zeros.data(), zeros.size());
    idat.resize(size);
    appendChunk(png, "IDAT", idat);
    appendChunk(png, "IEND", {});
    return png;
}

std::vector<uint8_t> palettePng(uint32_t width, uint32_t height, const std::vector<uint8_t>& indices,
                                const std::vector<std::array<uint8_t, 3>>& colours,
                                const std::vector<uint8_t>& alphas) {
    spng_ihdr ihdr{};
    ihdr.width = width;
    ihdr.height = height;
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_INDEXED;
    spng_plte plte{};
    plte.n_entries = static_cast<uint32_t>(colours.size());
    for (size_t i = 0; i < colours.size(); ++i)
        plte.entries[i] = spng_plte_entry{colours[i][0], colours[i][1], colours[i][2], 255};
    spng_trns trns{};
    trns.n_type3_entries = static_cast<uint32_t>(alphas.size());
    for (size_t i = 0; i < alphas.size(); ++i) trns.type3_alpha[i] = alphas[i];
    return encodePng(ihdr, indices, &plte, alphas.empty() ? nullptr : &trns);
}

std::vector<uint8_t> transparentPalettePng() {
    std::vector<uint8_t> indices(32);
    for (size_t i = 0; i < indices.size(); ++i) indices[i] = static_cast<uint8_t>(i % 4);
    return palettePng(8, 4, indices, {{200, 10, 10}, {10, 200, 10}, {10, 10, 200}, {90, 90, 90}}, {255, 0, 128});
}

std::vector<uint8_t> fullPalettePng(size_t count) {
    std::vector<uint8_t> indices(256);
    std::vector<std::array<uint8_t, 3>> colours(count);
    for (size_t i = 0; i < 256; ++i) indices[i] = static_cast<uint8_t>(i % count);
    for (size_t i = 0; i < count; ++i) colours[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), 9};
    if (count > 246) colours[246] = {128, 0, 0};
    return palettePng(16, 16, indices, colours, {});
}

bool writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written && !bytes.empty();
}

}  // namespace qvr::test
