// Writes the PNG files the converter's end-to-end test needs and the samples lack:
//   png_fixture rgb W H OUT        an RGB image of any size, with varied colours
//   png_fixture header W H OUT     a valid header claiming W x H, with a few bytes of data
//   png_fixture palette-alpha OUT  a palette image whose palette has transparent entries
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
    if (args.size() == 4 && args[0] == "rgb") ok = writeBytes(args[3], rgbPng(side(1), side(2)));
    else if (args.size() == 4 && args[0] == "header") ok = writeBytes(args[3], headerOnlyPng(side(1), side(2)));
    else if (args.size() == 2 && args[0] == "palette-alpha") ok = writeBytes(args[1], transparentPalettePng());
    else std::fprintf(stderr, "usage: png_fixture rgb|header W H OUT | png_fixture palette-alpha OUT\n");
    return ok ? 0 : 1;
}
