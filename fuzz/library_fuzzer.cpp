// Fuzz target: the public C API's read path and a write-back. Besides memory
// safety it checks the API's promises: a success gives the header's size and
// a buffer, a failure gives nothing; the four layouts agree with each other;
// and what a file reads as, written again, reads back the same.
#include <cstdlib>
#include <cstring>

#include "fuzz_limits.h"
#include "qvr/qvr.h"

namespace {

constexpr qvr_limits FUZZ_LIMITS = {.max_pixels = MAX_FUZZ_PIXELS, .reserved = {}};

void check(bool condition) {
    if (!condition) std::abort();
}

size_t bytesOf(const qvr_image& image) {
    return static_cast<size_t>(image.width) * image.height * static_cast<size_t>(qvr_format_channels(image.format));
}

// RGB must be RGBA without its alpha.
void checkSameColour(const qvr_image& rgb, const qvr_image& rgba) {
    const size_t pixels = static_cast<size_t>(rgb.width) * rgb.height;
    for (size_t i = 0; i < pixels; ++i) check(std::memcmp(rgb.pixels + 3 * i, rgba.pixels + 4 * i, 3) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvr_info info;
    const qvr_error infoError = qvr_read_info_memory(data, size, &info);
    qvr_image images[3];
    const qvr_format formats[3] = {QVR_FORMAT_AUTO, QVR_FORMAT_RGB, QVR_FORMAT_RGBA};
    qvr_error errors[3];
    for (int i = 0; i < 3; ++i) {
        errors[i] = qvr_decode_memory(data, size, formats[i], &FUZZ_LIMITS, &images[i]);
        check((errors[i] == QVR_OK) == (images[i].pixels != nullptr));
        check(errors[i] == errors[0]);  // RGB and RGBA can be had from every kind of file
        if (errors[i] == QVR_OK)
            check(infoError == QVR_OK && images[i].width == info.width && images[i].height == info.height);
    }
    if (errors[0] == QVR_OK) {
        checkSameColour(images[1], images[2]);
        void* encoded = nullptr;
        size_t encodedSize = 0;
        check(qvr_encode_memory(&images[0], &encoded, &encodedSize) == QVR_OK);
        qvr_image again;
        check(qvr_decode_memory(encoded, encodedSize, QVR_FORMAT_AUTO, nullptr, &again) == QVR_OK);
        check(again.format == images[0].format && bytesOf(again) == bytesOf(images[0]));
        check(std::memcmp(again.pixels, images[0].pixels, bytesOf(again)) == 0);
        qvr_free(again.pixels);
        qvr_free(encoded);
    }
    for (qvr_image& image : images) qvr_free(image.pixels);
    return 0;
}
