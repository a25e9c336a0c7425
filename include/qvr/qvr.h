/* libqvr: read and write QVR images.
 *
 * A QVR file holds either 8-bit palette indices with a 256-entry palette, or
 * 5-6-5 RGB with an optional 8-bit alpha plane. This library hands pixels to
 * the caller as 8-bit samples in one of three layouts (qvr_format) and takes
 * them back in the same layouts.
 *
 * Every function returns a qvr_error; QVR_OK (0) is success. No function
 * aborts, prints or keeps state between calls: several threads may use the
 * library at once on different images. Memory the library hands out is
 * released with qvr_free().
 */
#ifndef QVR_QVR_H
#define QVR_QVR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QVR_VERSION_MAJOR 1
#define QVR_VERSION_MINOR 0

typedef enum qvr_error {
    QVR_OK = 0,
    QVR_ERROR_INVALID_ARGUMENT = 1, /* a null pointer, an unknown format, a bad layout */
    QVR_ERROR_NOT_QVR = 2,          /* the header is missing or fails the format's tests */
    QVR_ERROR_DAMAGED = 3,          /* the pixel data is corrupt or ends too early */
    QVR_ERROR_TOO_LARGE = 4,        /* more pixels than the caller's limit allows */
    QVR_ERROR_SIZE_UNSUPPORTED = 5, /* writing: QVR holds 2..8191 columns, 1..8191 rows */
    QVR_ERROR_CONVERSION = 6,       /* a 16 bpp file cannot be read as palette indices */
    QVR_ERROR_OUT_OF_MEMORY = 7,
    QVR_ERROR_OPEN = 8,             /* the file cannot be opened or created */
    QVR_ERROR_READ = 9,             /* reading the file failed */
    QVR_ERROR_WRITE = 10            /* writing the file failed (a full disk, ...) */
} qvr_error;

/* What a file holds. */
typedef enum qvr_kind {
    QVR_KIND_INDEXED = 8, /* 8 bpp: indices into a 256-entry palette */
    QVR_KIND_RGB = 24,    /* 16 bpp: 5-6-5 RGB */
    QVR_KIND_RGBA = 32    /* 16 bpp: 5-6-5 RGB and an 8-bit alpha plane */
} qvr_kind;

/* Pixel layouts. Rows run top to bottom with no padding between them. */
typedef enum qvr_format {
    QVR_FORMAT_AUTO = 0,    /* reading: the file's own layout (one of the three below) */
    QVR_FORMAT_INDEXED = 1, /* one index per pixel; qvr_image.palette holds the colours */
    QVR_FORMAT_RGB = 3,     /* red, green, blue per pixel */
    QVR_FORMAT_RGBA = 4     /* red, green, blue, alpha per pixel (alpha 255 = opaque) */
} qvr_format;

typedef struct qvr_info {
    qvr_kind kind;
    uint32_t width;
    uint32_t height;
    int depth; /* 8, 24 or 32: bits a pixel carries once read */
} qvr_info;

typedef struct qvr_image {
    uint32_t width;
    uint32_t height;
    qvr_format format;     /* never QVR_FORMAT_AUTO once read */
    uint8_t* pixels;       /* width * height * (1, 3 or 4) bytes */
    uint8_t palette[768];  /* QVR_FORMAT_INDEXED: 256 entries of red, green, blue */
} qvr_image;

typedef struct qvr_limits {
    uint64_t max_pixels; /* refuse images with more pixels (width * height); 0: no limit */
} qvr_limits;

/* Bytes a pixel takes in a format: 1, 3 or 4; 0 for QVR_FORMAT_AUTO or an unknown value. */
int qvr_format_channels(qvr_format format);

/* A short English sentence for a code, for messages; never NULL. */
const char* qvr_error_string(qvr_error code);

/* Reads only the header: kind, width, height and depth. `size` may be the
 * whole file or just its first 48 bytes. Returns QVR_ERROR_NOT_QVR when the
 * header fails the format's tests. */
qvr_error qvr_read_info_memory(const void* data, size_t size, qvr_info* info);
qvr_error qvr_read_info_file(const char* path, qvr_info* info);

/* Reads a whole image from the caller's memory (not copied) into `out`, in
 * `format`: QVR_FORMAT_AUTO keeps the file's own layout; an indexed file may
 * be expanded to RGB or RGBA through its palette; RGB and RGBA convert into
 * each other (alpha 255 added, or dropped). Indexed output from a 16 bpp file
 * is QVR_ERROR_CONVERSION. `limits` may be NULL; an image over the limit is
 * refused from its header, before any allocation. On success `out->pixels`
 * belongs to the caller (qvr_free); on failure `out` is zeroed. */
qvr_error qvr_decode_memory(const void* data, size_t size, qvr_format format,
                            const qvr_limits* limits, qvr_image* out);
qvr_error qvr_decode_file(const char* path, qvr_format format, const qvr_limits* limits,
                          qvr_image* out);

/* Writes `image` as a QVR file: QVR_FORMAT_INDEXED as 8 bpp with its palette,
 * RGB as 16 bpp, RGBA as 16 bpp with an alpha plane. What a file keeps:
 * index 255 reads back as 246, palette entry 246 as white, colour at 5-6-5
 * precision, alpha 255 as 246. The memory form hands back a buffer to release
 * with qvr_free. The file form writes a temporary file beside `path` and
 * renames it into place, so `path` is either left alone or fully replaced. */
qvr_error qvr_encode_memory(const qvr_image* image, void** data, size_t* size);
qvr_error qvr_encode_file(const qvr_image* image, const char* path);

/* Releases memory from this library (image pixels, encoded data); NULL is fine. */
void qvr_free(void* memory);

#ifdef __cplusplus
}
#endif

#endif /* QVR_QVR_H */
