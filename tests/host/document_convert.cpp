#include "tests/host/document_convert.h"

#include "codec/format.h"

namespace qvrhost {

qvr::RasterImage rasterFromDocument(Document& document) {
    qvr::RasterImage image;
    const bool indexed = document.mode == plugInModeIndexedColor;
    image.allocate(document.width, document.height, indexed ? 8 : document.planes >= 4 ? 32 : 24);
    qvr::paletteFromTables(image.palette.data(), document.redLUT, document.greenLUT, document.blueLUT);
    for (int32_t y = 0; y < document.height; ++y)
        for (int32_t x = 0; x < document.width; ++x) {
            const size_t p = static_cast<size_t>(y) * static_cast<size_t>(document.width) + static_cast<size_t>(x);
            if (indexed) {
                image.indices[p] = document.at(0, x, y);
                continue;
            }
            for (int c = 0; c < 3; ++c) image.rgb[3 * p + static_cast<size_t>(c)] = document.at(c, x, y);
            if (image.depth == 32) image.alpha[p] = document.at(3, x, y);
        }
    return image;
}

Document documentFromRaster(const qvr::RasterImage& image) {
    Document document;
    const bool indexed = image.depth == 8;
    document.allocate(indexed ? plugInModeIndexedColor : plugInModeRGBColor, image.width, image.height,
                      static_cast<int16_t>(indexed             ? 1
                                           : image.depth == 32 ? 4
                                                               : 3));
    qvr::paletteToTables(image.palette.data(), document.redLUT, document.greenLUT, document.blueLUT);
    for (int32_t y = 0; y < image.height; ++y)
        for (int32_t x = 0; x < image.width; ++x) {
            const size_t p = static_cast<size_t>(y) * static_cast<size_t>(image.width) + static_cast<size_t>(x);
            if (indexed) {
                document.at(0, x, y) = image.indices[p];
                continue;
            }
            for (int c = 0; c < 3; ++c) document.at(c, x, y) = image.rgb[3 * p + static_cast<size_t>(c)];
            if (image.depth == 32) document.at(3, x, y) = image.alpha[p];
        }
    return document;
}

}  // namespace qvrhost
