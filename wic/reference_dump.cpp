// What the WIC decoder must give for a file, made natively through libqvr:
// "ok WIDTH HEIGHT DEPTH\n", then for depth 8 the palette as 256 BGRA colours,
// then the rows as WIC lays them out (indices, BGR or BGRA); or
// "error CODE\n" with libqvr's code when the library refuses the file.
// Usage: wic_reference IN.qvr OUT
#include <qvr/qvr.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: wic_reference IN.qvr OUT\n");
        return 2;
    }
    std::FILE* out = std::fopen(argv[2], "wb");
    if (!out) {
        std::perror(argv[2]);
        return 1;
    }
    qvr_image image;
    const qvr_error error = qvr_decode_file(argv[1], QVR_FORMAT_AUTO, nullptr, &image);
    if (error != QVR_OK) {
        std::fprintf(out, "error %d\n", static_cast<int>(error));
        return std::fclose(out) == 0 ? 0 : 1;
    }
    const int channels = qvr_format_channels(image.format);
    std::fprintf(out, "ok %u %u %d\n", image.width, image.height, channels == 1 ? 8 : channels == 3 ? 24 : 32);
    std::vector<unsigned char> bytes;
    if (channels == 1)
        for (int i = 0; i < 256; ++i)
            bytes.insert(bytes.end(), {image.palette[3 * i + 2], image.palette[3 * i + 1], image.palette[3 * i], 255});
    const size_t pixels = static_cast<size_t>(image.width) * image.height;
    for (size_t p = 0; p < pixels; ++p) {
        const unsigned char* s = image.pixels + p * static_cast<size_t>(channels);
        if (channels == 1)
            bytes.push_back(s[0]);
        else
            bytes.insert(bytes.end(), {s[2], s[1], s[0]});
        if (channels == 4) bytes.push_back(s[3]);
    }
    qvr_free(image.pixels);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && written ? 0 : 1;
}
