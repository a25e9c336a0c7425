/* A program of a library user, built against the installed tree with
 * `pkg-config --cflags --libs qvr`: opens a QVR file in its own layout, writes it back
 * as a QVR file, reads that back and checks that the pixels held.
 * Usage: consumer IN.qvr OUT.qvr */
#include <qvr/qvr.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    qvr_image image, again;
    qvr_error error = qvr_decode_file(argv[1], QVR_FORMAT_AUTO, NULL, &image);
    if (error == QVR_OK) error = qvr_encode_file(&image, argv[2]);
    if (error == QVR_OK) error = qvr_decode_file(argv[2], QVR_FORMAT_AUTO, NULL, &again);
    if (error != QVR_OK) {
        fprintf(stderr, "consumer: %s\n", qvr_error_string(error));
        return 1;
    }
    const size_t bytes = (size_t)image.width * image.height * (size_t)qvr_format_channels(image.format);
    const int same = again.width == image.width && again.height == image.height &&
                     again.format == image.format &&
                     memcmp(again.pixels, image.pixels, bytes) == 0;
    printf("%s: %u x %u, %s after a round trip\n", argv[1], image.width, image.height,
           same ? "same pixels" : "DIFFERENT pixels");
    qvr_free(image.pixels);
    qvr_free(again.pixels);
    return same ? 0 : 1;
}
