/* A program of a library user, built against the installed tree with
 * `pkg-config --cflags --libs qvr`: opens a QVR file in its own layout, writes it back
 * as a QVR file with the encode options, reads that back and checks that the
 * pixels held, and that the library is the version of its header.
 * Usage: consumer IN.qvr OUT.qvr */
#include <qvr/qvr.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    if (qvr_version() != QVR_HEADER_VERSION) {
        fprintf(stderr, "consumer: built against libqvr %#x, running with %#x\n", (unsigned)QVR_HEADER_VERSION,
                (unsigned)qvr_version());
        return 1;
    }
    qvr_image image, again;
    const qvr_limits limits = {0};
    const qvr_encode_options refuse = {.colours = QVR_COLOURS_REFUSE}; /* a file's own colours read back as they are */
    qvr_error error = qvr_decode_file(argv[1], QVR_FORMAT_AUTO, &limits, &image);
    if (error == QVR_OK) error = qvr_encode_file_with(&image, &refuse, argv[2]);
    FILE* written = error == QVR_OK ? fopen(argv[2], "rb") : NULL;
    if (written != NULL) { /* the file written lies within the span its header gives */
        unsigned char header[48];
        uint64_t least = 0, most = 0;
        const size_t got = fread(header, 1, sizeof header, written);
        fseek(written, 0, SEEK_END);
        const uint64_t size = (uint64_t)ftell(written);
        fclose(written);
        error = qvr_file_span(header, got, &least, &most);
        if (error == QVR_OK && (size < least || size > most)) {
            fprintf(stderr, "consumer: %s: %llu bytes outside %llu..%llu\n", argv[2], (unsigned long long)size,
                    (unsigned long long)least, (unsigned long long)most);
            return 1;
        }
    }
    if (error == QVR_OK) error = qvr_decode_file(argv[2], QVR_FORMAT_AUTO, NULL, &again);
    if (error != QVR_OK) {
        fprintf(stderr, "consumer: %s\n", qvr_error_string(error));
        return 1;
    }
    const size_t bytes = (size_t)image.width * image.height * (size_t)qvr_format_channels(image.format);
    const int same = again.width == image.width && again.height == image.height && again.format == image.format &&
                     memcmp(again.pixels, image.pixels, bytes) == 0;
    printf("%s: %u x %u, %s after a round trip\n", argv[1], image.width, image.height,
           same ? "same pixels" : "DIFFERENT pixels");
    qvr_free(image.pixels);
    qvr_free(again.pixels);
    return same ? 0 : 1;
}
