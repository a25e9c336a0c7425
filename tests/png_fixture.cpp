// Writes the PNG files the converter's end-to-end test needs and the samples lack:
//   png_fixture rgb W H OUT        an RGB image of any size, with varied colours
//   png_fixture header W H OUT     a valid header claiming W x H, with a few bytes of data
//   png_fixture palette-alpha OUT  a palette image whose palette has transparent entries
//   png_fixture palette256 OUT     a palette image using 256 distinct colours
//   png_fixture palette247 OUT     one using 247, entry 246 dark red
//   png_fixture rgba-opaque OUT    an RGBA image whose every pixel is opaque
//   png_fixture gamma OUT          an RGB image with a gamma of 1.0
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "png_builder.h"

int main(int argc, char** argv) {
    using namespace qvr::test;
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto side = [&](size_t i) { return static_cast<uint32_t>(std::strtoul(args[i].c_str(), nullptr, 10)); };
    bool ok = false;
    if (args.size() == 4 && args[0] == "rgb")
        ok = writeBytes(args[3], rgbPng(side(1), side(2)));
    else if (args.size() == 4 && args[0] == "header")
        ok = writeBytes(args[3], headerOnlyPng(side(1), side(2)));
    else if (args.size() == 2 && args[0] == "palette-alpha")
        ok = writeBytes(args[1], transparentPalettePng());
    else if (args.size() == 2 && args[0] == "palette256")
        ok = writeBytes(args[1], fullPalettePng());
    else if (args.size() == 2 && args[0] == "palette247")
        ok = writeBytes(args[1], fullPalettePng(247));
    else if (args.size() == 2 && (args[0] == "rgba-opaque" || args[0] == "gamma")) {
        spng_ihdr ihdr{};
        ihdr.width = 16;
        ihdr.height = 4;
        ihdr.bit_depth = 8;
        const bool rgba = args[0] == "rgba-opaque";
        ihdr.color_type = rgba ? SPNG_COLOR_TYPE_TRUECOLOR_ALPHA : SPNG_COLOR_TYPE_TRUECOLOR;
        std::vector<uint8_t> pixels((rgba ? 4 : 3) * 64, 255);
        for (size_t i = 0; i < pixels.size(); ++i)
            if (!rgba || i % 4 != 3) pixels[i] = static_cast<uint8_t>(i * 3);
        ok = writeBytes(args[1], encodePng(ihdr, pixels, nullptr, nullptr, rgba ? 0 : 100000));
    } else
        std::fprintf(stderr,
                     "usage: png_fixture rgb|header W H OUT | png_fixture "
                     "palette-alpha|palette256|palette247|rgba-opaque|gamma OUT\n");
    return ok ? 0 : 1;
}
