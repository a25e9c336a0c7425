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

/* The version of this header; qvr_version() gives the library's at run time.
 * The major number changes with the library's binary interface (libqvr.so.N). */
#define QVR_VERSION_MAJOR 2
#define QVR_VERSION_MINOR 1
#define QVR_HEADER_VERSION ((QVR_VERSION_MAJOR << 16) | QVR_VERSION_MINOR)

/* Every QVR file starts with a header of QVR_HEADER_BYTES bytes whose first
 * QVR_SIGNATURE_BYTES are QVR_SIGNATURE: "QV", then the format's version (1)
 * and the header's size (48) as little-endian 16-bit values. For file-type
 * detection; the library itself tests much more of the header. */
#define QVR_HEADER_BYTES 48
#define QVR_SIGNATURE "QV\001\000\060\000"
#define QVR_SIGNATURE_BYTES 6

typedef enum qvr_error {
    QVR_OK = 0,
    QVR_ERROR_INVALID_ARGUMENT = 1, /* a null pointer, an unknown format, a bad layout */
    QVR_ERROR_NOT_QVR = 2,          /* the header is missing or fails the format's tests */
    QVR_ERROR_DAMAGED = 3,          /* the pixel data is corrupt or ends too early */
    QVR_ERROR_TOO_LARGE = 4,        /* more pixels than the caller's limit allows */
    QVR_ERROR_SIZE_UNSUPPORTED = 5, /* writing: QVR holds 2..8191 columns, 1..8191 rows */
    QVR_ERROR_CONVERSION = 6,       /* a 16 bpp file cannot be read as palette indices */
    QVR_ERROR_OUT_OF_MEMORY = 7,
    QVR_ERROR_OPEN = 8,      /* the file cannot be opened or created */
    QVR_ERROR_READ = 9,      /* reading the file failed */
    QVR_ERROR_WRITE = 10,    /* writing the file failed (a full disk, ...) */
    QVR_ERROR_COLOURS = 11,  /* writing: an 8 bpp file cannot keep these palette colours */
    QVR_ERROR_CANCELLED = 12 /* reading: the caller's row callback asked to stop */
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
    qvr_format format;    /* never QVR_FORMAT_AUTO once read */
    uint8_t* pixels;      /* width * height * (1, 3 or 4) bytes */
    uint8_t palette[768]; /* QVR_FORMAT_INDEXED: 256 entries of red, green, blue */
} qvr_image;

/* Reading limits. Zero every field you do not set (`qvr_limits limits = {0};`):
 * the reserved space holds later fields, whose zero keeps today's behaviour,
 * and a library that does not know a field refuses a non-zero one with
 * QVR_ERROR_INVALID_ARGUMENT instead of ignoring it. */
typedef struct qvr_limits {
    uint64_t max_pixels; /* refuse images with more pixels (width * height); 0: no limit */
    uint64_t reserved[3];
} qvr_limits;

/* How an indexed image keeps its colours in an 8 bpp file, where index 255
 * reads back as 246 and palette entry 246 as white. */
typedef enum qvr_colours {
    QVR_COLOURS_RENUMBER = 0, /* give the colours new indices that read back as they are
                                 (white at 246) when some pixel would change; refuse
                                 (QVR_ERROR_COLOURS) when more than 254 besides white */
    QVR_COLOURS_REFUSE = 1    /* store the indices as given, or refuse (QVR_ERROR_COLOURS)
                                 when some pixel would change colour */
} qvr_colours;

/* When an RGBA image gets an alpha plane. */
typedef enum qvr_alpha {
    QVR_ALPHA_AUTO = 0, /* only when some pixel is not opaque (alpha below 255) */
    QVR_ALPHA_KEEP = 1, /* always */
    QVR_ALPHA_DROP = 2  /* never: alpha is ignored */
} qvr_alpha;

/* Encoding choices; all zero (`qvr_encode_options options = {0};`) is the
 * default: renumber, alpha when needed. The reserved space works as in
 * qvr_limits. */
typedef struct qvr_encode_options {
    qvr_colours colours;
    qvr_alpha alpha;
    uint32_t reserved[6];
} qvr_encode_options;

/* The library's version at run time, as QVR_HEADER_VERSION: major << 16 | minor. */
uint32_t qvr_version(void);

/* Bytes a pixel takes in a format: 1, 3 or 4; 0 for QVR_FORMAT_AUTO or an unknown value. */
int qvr_format_channels(qvr_format format);

/* A short English sentence for a code, for messages; never NULL. */
const char* qvr_error_string(qvr_error code);

/* Reads only the header: kind, width, height and depth. `size` may be the
 * whole file or just its first 48 bytes. Returns QVR_ERROR_NOT_QVR when the
 * header fails the format's tests. */
qvr_error qvr_read_info_memory(const void* data, size_t size, qvr_info* info);
qvr_error qvr_read_info_file(const char* path, qvr_info* info);

/* The bytes a file with this header can use: a file shorter than `*least`
 * bytes cannot decode (QVR_ERROR_DAMAGED, found from its size alone), and
 * no byte at or past `*most` is ever read. For readers that collect a file's
 * bytes themselves: read at most `*most`. `data` as in qvr_read_info_memory. */
qvr_error qvr_file_span(const void* data, size_t size, uint64_t* least, uint64_t* most);

/* Reads a whole image from the caller's memory (not copied) into `out`, in
 * `format`: QVR_FORMAT_AUTO keeps the file's own layout; an indexed file may
 * be expanded to RGB or RGBA through its palette; RGB and RGBA convert into
 * each other (alpha 255 added, or dropped). Indexed output from a 16 bpp file
 * is QVR_ERROR_CONVERSION. `limits` may be NULL; an image over the limit is
 * refused from its header, and data too short for the image's rows
 * (qvr_file_span) as QVR_ERROR_DAMAGED from its size, both before any
 * allocation. The file form reads no more of a file than its header lets it
 * use. On success `out->pixels` belongs to the caller (qvr_free); on failure
 * `out` is zeroed. */
qvr_error qvr_decode_memory(const void* data, size_t size, qvr_format format, const qvr_limits* limits, qvr_image* out);
qvr_error qvr_decode_file(const char* path, qvr_format format, const qvr_limits* limits, qvr_image* out);

/* Writes `image` as a QVR file: QVR_FORMAT_INDEXED as 8 bpp with its palette,
 * RGB as 16 bpp, RGBA as 16 bpp with an alpha plane when some pixel is not
 * opaque (see qvr_encode_options; NULL options are the defaults). What a file
 * keeps: palette colours exactly (renumbered or refused as the options say,
 * never changed), colour at 5-6-5 precision, alpha exactly except that 255
 * reads back as 246. The memory form hands back a buffer to release with
 * qvr_free. The file form writes a temporary file beside `path` and renames
 * it into place, so `path` is either left alone or fully replaced. */
qvr_error qvr_encode_memory_with(const qvr_image* image, const qvr_encode_options* options, void** data, size_t* size);
qvr_error qvr_encode_file_with(const qvr_image* image, const qvr_encode_options* options, const char* path);

/* The same with the default options. */
qvr_error qvr_encode_memory(const qvr_image* image, void** data, size_t* size);
qvr_error qvr_encode_file(const qvr_image* image, const char* path);

/* ---- Reading as a host does: through its own stream, row by row ----
 *
 * A qvr_decoder reads one file, either pulling bytes through the caller's
 * procedures (qvr_decoder_new) or taking them as they arrive
 * (qvr_decoder_new_push). It hands finished rows to a callback top to
 * bottom, each once, and can write them into the caller's buffer with any
 * stride. One decoder is used by one thread at a time; different decoders
 * may run at once. The decoder owns nothing of the caller's: the reader's
 * user pointer, the pixel buffer and the callback's user pointer stay the
 * caller's and must outlive the calls that use them. */

/* A stream of the caller's. read() fills up to `size` bytes and returns how
 * many it gave (0 only at the end), or -1 on a failure. seek() moves to
 * `offset` bytes from the start and returns 0, or -1 on a failure. size(),
 * which may be NULL, gives the stream's length in bytes, or -1 when it is
 * not known. The decoder reads no byte the header's size cannot use
 * (qvr_file_span). */
typedef struct qvr_reader {
    void* user;
    int64_t (*read)(void* user, void* buffer, size_t size);
    int (*seek)(void* user, uint64_t offset);
    int64_t (*size)(void* user);
} qvr_reader;

/* The planes of a file, for saying where a decode stopped. */
typedef enum qvr_plane {
    QVR_PLANE_NONE = 0,    /* no plane failed (or the header did) */
    QVR_PLANE_INDICES = 1, /* 8 bpp palette indices */
    QVR_PLANE_COLOUR = 2,  /* 16 bpp 5-6-5 colour */
    QVR_PLANE_ALPHA = 3    /* 16 bpp alpha */
} qvr_plane;

/* What the row callback receives. Rows come top to bottom as soon as every
 * plane's bytes for them are decoded: in a file with an alpha plane, which
 * follows the whole colour plane, the first row comes once the colour plane
 * is done, and until then the callback is called for progress alone. */
typedef struct qvr_row {
    const uint8_t* pixels; /* `width` pixels of the decode's format, valid during the call;
                              NULL in a call for progress alone */
    uint32_t y;            /* this row, from 0 at the top (0 in a progress call) */
    uint32_t done;         /* plane rows decoded so far ... */
    uint32_t total;        /* ... of this many: the height, twice with an alpha plane */
} qvr_row;

/* Returns 0 to go on; anything else stops the decode, which then returns
 * QVR_ERROR_CANCELLED. The callback may call qvr_decoder_info and
 * qvr_decoder_failure on its decoder, and no other function on it. */
typedef int (*qvr_row_callback)(void* user, const qvr_row* row);

typedef struct qvr_decoder qvr_decoder;

/* A decoder that pulls through `reader` (copied). Seeks to 0, reads and
 * tests the header now (and an indexed file's palette), and refuses what
 * qvr_decode_memory would refuse from it (NOT_QVR, TOO_LARGE);
 * QVR_ERROR_READ when a read or seek fails. Reads come in chunks of up to
 * 64 KiB, never past the header's span nor the stream's size when size()
 * knows it, and bytes nothing uses are sought over. On failure *out is NULL. */
qvr_error qvr_decoder_new(const qvr_reader* reader, const qvr_limits* limits, qvr_decoder** out);

/* The header's kind, size and depth, and the palette (indexed files; may be
 * NULL; zeros while a push decoder has not had its bytes).
 * QVR_ERROR_INVALID_ARGUMENT from a push decoder that has not yet had the
 * header's bytes. */
qvr_error qvr_decoder_info(const qvr_decoder* decoder, qvr_info* info, uint8_t palette[768]);

/* Decodes the image once, in `format` (as qvr_decode_memory). Each row goes
 * to `pixels + y * stride` when `pixels` is given (stride at least width
 * times the format's channels; the bytes between rows are left alone), and
 * to `callback` when given; the row a callback sees lies in `pixels` when
 * given. At least one of the two. A call refused for its arguments or
 * layout (INVALID_ARGUMENT, CONVERSION) reads nothing and leaves the decoder
 * unused. On failure the rows already written stay in `pixels`. */
qvr_error qvr_decoder_read(qvr_decoder* decoder, qvr_format format, uint8_t* pixels, size_t stride,
                           qvr_row_callback callback, void* user);

/* A decoder fed by qvr_decoder_push, for hosts that get a file's bytes
 * piece by piece. It holds only the bytes it has not decoded yet, from the
 * first one still needed (a palette or alpha stream that lies before the
 * plane being decoded keeps what follows it until then), never past the
 * header's span (and, for a file with an alpha plane, the colour plane
 * until the alpha rows come). A row is decoded once the bytes from its start
 * reach the most a row can use (width x 4 + 1024 in the colour plane,
 * width x 2 + 1024 in the others) or at qvr_decoder_finish, so the rows are
 * exactly the whole-file decode's whatever the pieces. Rows go to `callback`
 * (required) in `format`; its first call comes after the header and, for an
 * indexed file, the palette (qvr_decoder_info then answers) and before any
 * row. */
qvr_error qvr_decoder_new_push(qvr_format format, const qvr_limits* limits, qvr_row_callback callback, void* user,
                               qvr_decoder** out);

/* The next `size` bytes of the file, decoded as far as they go. QVR_OK asks
 * for more; any other code ends the decode as soon as the fault is known
 * (later pushes return it again). */
qvr_error qvr_decoder_push(qvr_decoder* decoder, const void* bytes, size_t size);

/* The end of the pushed bytes: QVR_OK when every row was delivered, else the
 * reason (QVR_ERROR_NOT_QVR for a header cut short, QVR_ERROR_DAMAGED). */
qvr_error qvr_decoder_finish(qvr_decoder* decoder);

/* After QVR_ERROR_DAMAGED: the plane and row where decoding stopped, as in
 * "damaged at row 107 of the colour plane". QVR_PLANE_NONE when no row
 * failed (the data ended before a plane began, for instance). */
qvr_error qvr_decoder_failure(const qvr_decoder* decoder, qvr_plane* plane, uint32_t* row);

/* Frees the decoder and everything it holds; NULL is fine. */
void qvr_decoder_free(qvr_decoder* decoder);

/* Releases memory from this library (image pixels, encoded data); NULL is fine. */
void qvr_free(void* memory);

#ifdef __cplusplus
}
#endif

#endif /* QVR_QVR_H */
