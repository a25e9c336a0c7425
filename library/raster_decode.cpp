#include "library/raster_decode.h"

#include <cstring>
#include <memory>
#include <new>

#include "streams/rgb_rows.h"

namespace qvr {
namespace {

struct Target {
    RasterImage* image;
    int32_t width, height, depth;
    void (*progress)(void* context, int32_t done, int32_t total);
    void* context;
    bool outOfMemory = false;
};

int takeRow(void* user, const qvr_row* row) {
    auto& target = *static_cast<Target*>(user);
    if (target.progress)
        target.progress(target.context, static_cast<int32_t>(row->done), static_cast<int32_t>(row->total));
    if (row->pixels == nullptr) return 0;
    RasterImage& image = *target.image;
    if (image.width == 0) {
        try {
            image.allocate(target.width, target.height, target.depth);
        } catch (const std::bad_alloc&) {
            target.outOfMemory = true;
            return 1;  // stops the decode
        }
    }
    const size_t width = static_cast<size_t>(image.width), first = row->y * width;
    if (image.depth == 8) {
        std::memcpy(image.indices.data() + first, row->pixels, width);
    } else if (image.depth == 24) {
        std::memcpy(image.rgb.data() + 3 * first, row->pixels, 3 * width);
    } else {
        uint8_t* rgb = image.rgb.data() + 3 * first;
        for (size_t x = 0; x < width; ++x) std::memcpy(rgb + 3 * x, row->pixels + 4 * x, 3);
        alphaFromRgba(image.alpha.data() + first, row->pixels + 3, image.width);
    }
    return 0;
}

}  // namespace

qvr_error decodeIntoRaster(const qvr_reader& reader, RasterImage& image,
                           void (*progress)(void* context, int32_t done, int32_t total), void* context) {
    qvr_decoder* opened = nullptr;
    qvr_error error = qvr_decoder_new(&reader, nullptr, &opened);
    const std::unique_ptr<qvr_decoder, void (*)(qvr_decoder*)> decoder(opened, &qvr_decoder_free);
    if (error != QVR_OK) return error;
    qvr_info info;
    qvr_decoder_info(decoder.get(), &info, image.palette.data());
    Target target{&image, static_cast<int32_t>(info.width), static_cast<int32_t>(info.height), info.depth, progress,
                  context};
    error = qvr_decoder_read(decoder.get(), QVR_FORMAT_AUTO, nullptr, 0, takeRow, &target);
    return target.outOfMemory ? QVR_ERROR_OUT_OF_MEMORY : error;
}

}  // namespace qvr
