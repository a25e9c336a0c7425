/* The gdk-pixbuf loader as GTK programs meet it, through the loaders cache
 * and MIME database in the environment (GDK_PIXBUF_MODULE_FILE, XDG_DATA_DIRS).
 *
 *   pixbuf_test loader SAMPLES WORKDIR  every sample and a set of damaged files,
 *                                       whole against libqvr, and fed in pieces of
 *                                       every size against the whole load;
 *                                       saving through gdk-pixbuf
 *   pixbuf_test size FILE WIDTH HEIGHT  the image's size is exactly this
 *   pixbuf_test same FILE FILE          the two images have the same pixels (fully
 *                                       transparent ones may differ in colour)
 *   pixbuf_test bounded SAMPLE WORKDIR  memory follows the header: the sample with
 *                                       256 MiB after it, and a header claiming
 *                                       8191 x 8191 over a few bytes, which without
 *                                       the address space for it fails for memory
 *   pixbuf_test saving WORKDIR          the alpha plane only where needed, and options
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <sys/resource.h>

#include <gdk-pixbuf/gdk-pixbuf.h>

#include "qvr/qvr.h"

static int failures = 0;

static void fail(const char* what, const char* file, const char* detail) {
    fprintf(stderr, "pixbuf_test: %s: %s%s%s\n", file, what, detail ? ": " : "", detail ? detail : "");
    ++failures;
}

/* Same size, channels and pixels; rowstrides may differ. With `hidden_alike`,
 * fully transparent pixels match whatever their colour (PNG writers may clear it). */
static gboolean same_pixels_as(GdkPixbuf* a, GdkPixbuf* b, gboolean hidden_alike) {
    const int width = gdk_pixbuf_get_width(a), height = gdk_pixbuf_get_height(a);
    const int channels = gdk_pixbuf_get_n_channels(a);
    if (width != gdk_pixbuf_get_width(b) || height != gdk_pixbuf_get_height(b) ||
        channels != gdk_pixbuf_get_n_channels(b))
        return FALSE;
    for (int y = 0; y < height; ++y) {
        const guint8* row_a = gdk_pixbuf_read_pixels(a) + (gsize)y * (gsize)gdk_pixbuf_get_rowstride(a);
        const guint8* row_b = gdk_pixbuf_read_pixels(b) + (gsize)y * (gsize)gdk_pixbuf_get_rowstride(b);
        for (int x = 0; x < width * channels; x += channels) {
            const gboolean hidden = hidden_alike && channels == 4 && row_a[x + 3] == 0 && row_b[x + 3] == 0;
            if (!hidden && memcmp(row_a + x, row_b + x, (gsize)channels) != 0) return FALSE;
        }
    }
    return TRUE;
}

static gboolean same_pixels(GdkPixbuf* a, GdkPixbuf* b) { return same_pixels_as(a, b, FALSE); }

/* The library's reading of a file as the pixbuf the loader should give: RGBA
 * for files with alpha, RGB otherwise. NULL when the library refuses the file. */
static GdkPixbuf* library_pixbuf(const char* path) {
    qvr_info info;
    qvr_image image;
    if (qvr_read_info_file(path, &info) != QVR_OK) return NULL;
    const qvr_format format = info.kind == QVR_KIND_RGBA ? QVR_FORMAT_RGBA : QVR_FORMAT_RGB;
    if (qvr_decode_file(path, format, NULL, &image) != QVR_OK) return NULL;
    const int channels = qvr_format_channels(format);
    GBytes* bytes = g_bytes_new_with_free_func(image.pixels, (gsize)image.width * image.height * (gsize)channels,
                                               qvr_free, image.pixels);
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_bytes(bytes, GDK_COLORSPACE_RGB, channels == 4, 8, (int)image.width,
                                                  (int)image.height, (int)image.width * channels);
    g_bytes_unref(bytes);
    return pixbuf;
}

/* What one incremental load gave. */
typedef struct {
    GdkPixbuf* pixbuf;       /* as prepared, whole or with the rows before a failure; NULL if never prepared */
    gchar* message;          /* the error, NULL on success */
    gsize failed_after;      /* bytes written up to the failing write; length + 1 when the close failed */
    int width, height;       /* from size-prepared */
    int rows;                /* rows announced by area-updated, from the top */
    gboolean areas_in_order; /* each area whole rows, starting where the last one ended */
} Load;

static void on_size_prepared(GdkPixbufLoader* loader, int width, int height, gpointer data) {
    (void)loader;
    Load* load = data;
    load->width = width;
    load->height = height;
}

static void on_area_updated(GdkPixbufLoader* loader, int x, int y, int width, int height, gpointer data) {
    Load* load = data;
    if (x != 0 || width != gdk_pixbuf_get_width(gdk_pixbuf_loader_get_pixbuf(loader)) || y != load->rows || height <= 0)
        load->areas_in_order = FALSE;
    load->rows = y + height;
}

/* Feeds `data` straight to the QVR loader (no sniffing buffer in between) in
 * pieces of `piece` bytes. */
static Load load_in_pieces(const gchar* data, gsize length, gsize piece) {
    Load load = {NULL, NULL, 0, 0, 0, 0, TRUE};
    GError* error = NULL;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("qvr", &error);
    if (loader == NULL) {
        load.message = g_strdup(error->message);
        g_clear_error(&error);
        return load;
    }
    g_signal_connect(loader, "size-prepared", G_CALLBACK(on_size_prepared), &load);
    g_signal_connect(loader, "area-updated", G_CALLBACK(on_area_updated), &load);
    gsize at = 0;
    gboolean ok = TRUE;
    for (; ok && at < length; at += MIN(piece, length - at))
        ok = gdk_pixbuf_loader_write(loader, (const guchar*)data + at, MIN(piece, length - at), &error);
    load.failed_after = ok ? length + 1 : at;
    ok = gdk_pixbuf_loader_close(loader, ok ? &error : NULL) && ok;
    if (!ok) load.message = g_strdup(error != NULL ? error->message : "(no message)");
    g_clear_error(&error);
    load.pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
    if (load.pixbuf != NULL) g_object_ref(load.pixbuf);
    g_object_unref(loader);
    return load;
}

/* The first `rows` rows of both pixbufs are the same. */
static gboolean same_top_rows(GdkPixbuf* a, GdkPixbuf* b, int rows) {
    if (a == NULL || b == NULL || rows == 0) return (a == NULL) == (b == NULL) && (a != NULL || rows == 0);
    GdkPixbuf* top_a = gdk_pixbuf_new_subpixbuf(a, 0, 0, gdk_pixbuf_get_width(a), rows);
    GdkPixbuf* top_b = gdk_pixbuf_new_subpixbuf(b, 0, 0, gdk_pixbuf_get_width(b), rows);
    const gboolean same = same_pixels(top_a, top_b);
    g_object_unref(top_a);
    g_object_unref(top_b);
    return same;
}

static int ignore_row(void* user, const qvr_row* row) {
    (void)user;
    (void)row;
    return 0;
}

/* The bytes the library's push decoder takes, one at a time, up to the one
 * whose push fails; `length` + 1 when no push fails. Never less than the
 * header, which the loader collects before it makes a decoder. */
static gsize library_failure_offset(const gchar* data, gsize length) {
    qvr_decoder* decoder = NULL;
    if (qvr_decoder_new_push(QVR_FORMAT_RGBA, NULL, ignore_row, NULL, &decoder) != QVR_OK) return 0;
    gsize at = 0;
    while (at < length && qvr_decoder_push(decoder, data + at, 1) == QVR_OK) ++at;
    qvr_decoder_free(decoder);
    return at == length ? length + 1 : MIN(length, MAX(at + 1, 48));
}

/* One incremental load against the whole-file one and the 1-byte one (`first`):
 * the same outcome and message, the pixels of every announced row, each row
 * announced once from the top, and a failure at the write that holds the byte
 * where the library's decoder fails (`failure`, from library_failure_offset). */
static void check_pieces(const char* path, gsize length, GdkPixbuf* whole, const char* whole_message, const Load* first,
                         gsize failure, const Load* load, gsize piece) {
    gchar* detail = g_strdup_printf("%zu-byte pieces: %s", piece, load->message ? load->message : "loaded");
    if ((load->message == NULL) != (whole_message == NULL) ||
        (whole_message != NULL && !g_str_has_suffix(whole_message, load->message))) /* after the file's name */
        fail("loading in pieces ends otherwise than loading whole", path, detail);
    if (!load->areas_in_order) fail("area-updated skipped, repeated or reordered rows", path, detail);
    if (whole != NULL && (load->rows != gdk_pixbuf_get_height(whole) || !same_pixels(load->pixbuf, whole) ||
                          load->width != gdk_pixbuf_get_width(whole) || load->height != gdk_pixbuf_get_height(whole)))
        fail("loading in pieces gives other pixels, size or announced rows than loading whole", path, detail);
    if (whole == NULL && (load->rows != first->rows || !same_top_rows(load->pixbuf, first->pixbuf, load->rows)))
        fail("a damaged file gives other rows in other pieces", path, detail);
    const gsize expected_stop = failure > length ? failure : MIN(length, (failure + piece - 1) / piece * piece);
    if (whole == NULL && load->failed_after != expected_stop)
        fail("the loader did not stop at the write holding the damage", path, detail);
    g_free(detail);
}

/* Whole, the loader gives what the library gives, or a GdkPixbufError when it
 * refuses the file. In pieces of 1 to 64 bytes, then doubling up to the
 * file's length, it gives what the whole load gives. */
static void check_file(const char* path, gboolean must_load) {
    GdkPixbuf* want = library_pixbuf(path);
    if (must_load && want == NULL) fail("libqvr cannot read it", path, NULL);
    GError* error = NULL;
    GdkPixbuf* whole = gdk_pixbuf_new_from_file(path, &error);
    if (want != NULL && (whole == NULL || !same_pixels(whole, want)))
        fail("gdk_pixbuf_new_from_file differs from libqvr", path, error ? error->message : NULL);
    if (want == NULL && (whole != NULL || error == NULL || error->domain != GDK_PIXBUF_ERROR))
        fail("gdk_pixbuf_new_from_file gave no GdkPixbufError for a damaged file", path, NULL);
    if (want == NULL && error != NULL) {
        gchar* name = g_path_get_basename(path);
        printf("  %s: %s\n", name, error->message);
        g_free(name);
    }
    gchar* data;
    gsize length;
    if (!g_file_get_contents(path, &data, &length, NULL)) fail("cannot read", path, NULL);
    Load first = load_in_pieces(data, length, 1);
    const gsize failure = library_failure_offset(data, length);
    for (gsize piece = 1; piece <= length; piece = piece < 64 ? piece + 1 : MIN(piece * 2, MAX(length, piece + 1))) {
        Load load = piece == 1 ? first : load_in_pieces(data, length, piece);
        check_pieces(path, length, whole, error ? error->message : NULL, &first, failure, &load, piece);
        if (piece != 1) {
            g_clear_object(&load.pixbuf);
            g_free(load.message);
        }
    }
    g_clear_object(&first.pixbuf);
    g_free(first.message);
    g_free(data);
    g_clear_error(&error);
    g_clear_object(&whole);
    g_clear_object(&want);
}

/* Saving through gdk-pixbuf writes what libqvr reads back as the same pixels.
 * Only for 16 bpp files, whose colours are already at 5-6-5 precision. */
static void check_save(const char* path, const char* workdir) {
    qvr_info info;
    if (qvr_read_info_file(path, &info) != QVR_OK || info.kind == QVR_KIND_INDEXED) return;
    GError* error = NULL;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(path, &error);
    gchar* saved = g_build_filename(workdir, "saved.qvr", NULL);
    if (pixbuf == NULL || !gdk_pixbuf_save(pixbuf, saved, "qvr", &error, NULL)) {
        fail("cannot save through gdk-pixbuf", path, error ? error->message : NULL);
    } else {
        GdkPixbuf* back = library_pixbuf(saved);
        if (back == NULL || !same_pixels(back, pixbuf)) fail("saved pixels differ", path, NULL);
        g_clear_object(&back);
    }
    g_clear_error(&error);
    g_clear_object(&pixbuf);
    g_free(saved);
}

static void write_variant(const char* path, const gchar* data, gsize length) {
    GError* error = NULL;
    if (!g_file_set_contents(path, data, (gssize)length, &error)) {
        fail("cannot write a test file", path, error->message);
        g_clear_error(&error);
    }
}

/* Cuts, a broken header and changed bytes of one sample, each checked. */
static void check_damaged(const char* sample, const char* workdir) {
    gchar* data;
    gsize length;
    if (!g_file_get_contents(sample, &data, &length, NULL)) {
        fail("cannot read", sample, NULL);
        return;
    }
    gchar* base = g_path_get_basename(sample);
    const gsize cuts[] = {20, 48, 60, length / 2, length - 1};
    for (size_t i = 0; i < G_N_ELEMENTS(cuts); ++i) {
        gchar* path = g_strdup_printf("%s/cut%zu-%s", workdir, cuts[i], base);
        write_variant(path, data, cuts[i]);
        check_file(path, FALSE);
        g_free(path);
    }
    gchar* path = g_strdup_printf("%s/badheader-%s", workdir, base);
    data[4] = 47; /* header size */
    write_variant(path, data, length);
    check_file(path, FALSE);
    data[4] = 48;
    g_free(path);
    for (gsize at = 60; at < length; at += length / 5) {
        path = g_strdup_printf("%s/changed%zu-%s", workdir, at, base);
        data[at] = (gchar)~data[at];
        write_variant(path, data, length);
        data[at] = (gchar)~data[at];
        check_file(path, FALSE);
        g_free(path);
    }
    g_free(base);
    g_free(data);
}

/* A 37 x 23 image, RGB or with graded alpha: its pixbuf rows have padding. */
static gchar* write_odd_width(const char* workdir, qvr_format format) {
    const int channels = qvr_format_channels(format);
    qvr_image image;
    memset(&image, 0, sizeof image);
    image.width = 37;
    image.height = 23;
    image.format = format;
    guint8 pixels[37 * 23 * 4];
    for (gsize i = 0; i < (gsize)image.width * image.height * (gsize)channels; ++i)
        pixels[i] = (guint8)(i * 7 + i / 37);
    image.pixels = pixels;
    gchar* path = g_strdup_printf("%s/odd-width-%d.qvr", workdir, channels);
    if (qvr_encode_file(&image, path) != QVR_OK) fail("cannot write a test file", path, NULL);
    return path;
}

static int run_loader(const char* samples, const char* workdir) {
    GDir* dir = g_dir_open(samples, 0, NULL);
    const char* name;
    int count = 0;
    while (dir != NULL && (name = g_dir_read_name(dir)) != NULL) {
        if (!g_str_has_suffix(name, ".qvr")) continue;
        gchar* path = g_build_filename(samples, name, NULL);
        check_file(path, TRUE);
        check_save(path, workdir);
        check_damaged(path, workdir);
        g_free(path);
        ++count;
    }
    if (dir != NULL) g_dir_close(dir);
    if (count == 0) fail("no samples", samples, NULL);
    const qvr_format odd_formats[] = {QVR_FORMAT_RGB, QVR_FORMAT_RGBA};
    for (size_t i = 0; i < G_N_ELEMENTS(odd_formats); ++i) {
        gchar* path = write_odd_width(workdir, odd_formats[i]);
        check_file(path, TRUE);
        check_damaged(path, workdir);
        g_free(path);
    }
    printf("pixbuf_test: %d samples, 2 with padded rows, and their damaged variants: %s\n", count,
           failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}

static int run_size(const char* path, int width, int height) {
    int got_width = 0, got_height = 0;
    if (gdk_pixbuf_get_file_info(path, &got_width, &got_height) == NULL || got_width != width || got_height != height) {
        fprintf(stderr, "pixbuf_test: %s is %d x %d, not %d x %d\n", path, got_width, got_height, width, height);
        return 1;
    }
    return 0;
}

static int run_same(const char* a, const char* b) {
    GError* error = NULL;
    GdkPixbuf* first = gdk_pixbuf_new_from_file(a, &error);
    GdkPixbuf* second = first ? gdk_pixbuf_new_from_file(b, &error) : NULL;
    const gboolean same = first != NULL && second != NULL && same_pixels_as(first, second, TRUE);
    if (!same)
        fprintf(stderr, "pixbuf_test: %s and %s differ%s%s\n", a, b, error ? ": " : "", error ? error->message : "");
    g_clear_error(&error);
    g_clear_object(&first);
    g_clear_object(&second);
    return same ? 0 : 1;
}

static long peak_kib(void) {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

/* Feeds a file to a loader in 64 KiB pieces, never holding more than a piece. */
static GdkPixbuf* load_streamed(const char* path, GError** error) {
    FILE* file = fopen(path, "rb");
    if (file == NULL) return NULL;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    static guchar piece[65536];
    size_t got;
    gboolean ok = TRUE;
    while (ok && (got = fread(piece, 1, sizeof piece, file)) > 0)
        ok = gdk_pixbuf_loader_write(loader, piece, got, error);
    fclose(file);
    ok = gdk_pixbuf_loader_close(loader, ok ? error : NULL) && ok;
    GdkPixbuf* pixbuf = ok ? gdk_pixbuf_loader_get_pixbuf(loader) : NULL;
    if (pixbuf != NULL) g_object_ref(pixbuf);
    g_object_unref(loader);
    return pixbuf;
}

/* Address space the sanitizers reserve for themselves cannot be limited. */
#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ASAN 1
#endif
#endif

/* With 64 MiB of address space left, the 8191 x 8191 pixbuf `huge` asks for
 * (201 MB) cannot be had: both loads must refuse it for memory, not abort. */
static void check_out_of_memory(const char* huge) {
#ifndef UNDER_ASAN
    unsigned long pages = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm == NULL || fscanf(statm, "%lu", &pages) != 1) fail("cannot read /proc/self/statm", huge, NULL);
    if (statm != NULL) fclose(statm);
    struct rlimit limit, tight;
    getrlimit(RLIMIT_AS, &limit);
    tight = limit;
    tight.rlim_cur = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + ((rlim_t)64 << 20);
    GError* whole_error = NULL;
    GError* streamed_error = NULL;
    GdkPixbuf* whole = NULL;
    GdkPixbuf* streamed = NULL;
    if (setrlimit(RLIMIT_AS, &tight) == 0) {
        whole = gdk_pixbuf_new_from_file(huge, &whole_error);
        streamed = load_streamed(huge, &streamed_error);
        setrlimit(RLIMIT_AS, &limit);
    } else {
        fail("cannot limit the address space", huge, NULL);
    }
    const GError* errors[] = {whole_error, streamed_error};
    for (size_t i = 0; i < G_N_ELEMENTS(errors); ++i)
        if (errors[i] == NULL || !g_error_matches(errors[i], GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY))
            fail(i == 0 ? "loading whole without memory gives no memory error"
                        : "loading in pieces without memory gives no memory error",
                 huge, errors[i] != NULL ? errors[i]->message : NULL);
    if (whole != NULL || streamed != NULL) fail("a pixbuf that cannot be had loads", huge, NULL);
    g_clear_error(&whole_error);
    g_clear_error(&streamed_error);
    g_clear_object(&whole);
    g_clear_object(&streamed);
#else
    (void)huge;
#endif
}

#define PADDING_BYTES (256 << 20)
#define PEAK_LIMIT_KIB (64 << 10)

static int run_bounded(const char* sample, const char* workdir) {
    gchar* data;
    gsize length;
    if (!g_file_get_contents(sample, &data, &length, NULL)) {
        fail("cannot read", sample, NULL);
        return 1;
    }
    gchar* padded = g_build_filename(workdir, "padded.qvr", NULL);
    gchar* huge = g_build_filename(workdir, "huge.qvr", NULL);
    write_variant(padded, data, length);
    if (truncate(padded, (off_t)length + PADDING_BYTES) != 0) fail("cannot pad", padded, NULL);
    data[24] = data[28] = (gchar)0xFF; /* 8191 x 8191 */
    data[25] = data[29] = 0x1F;
    write_variant(huge, data, 64);
    g_free(data);
    GdkPixbuf* want = library_pixbuf(sample);
    GError* error = NULL;
    GdkPixbuf* whole = gdk_pixbuf_new_from_file(padded, &error);
    if (whole == NULL || !same_pixels(whole, want))
        fail("the padded file does not load whole", padded, error ? error->message : NULL);
    g_clear_error(&error);
    GdkPixbuf* streamed = load_streamed(padded, &error);
    if (streamed == NULL || !same_pixels(streamed, want))
        fail("the padded file does not load in pieces", padded, error ? error->message : NULL);
    g_clear_error(&error);
    GdkPixbuf* refused = gdk_pixbuf_new_from_file(huge, &error);
    if (refused != NULL || error == NULL) fail("a header over too few bytes loads", huge, NULL);
    g_clear_error(&error);
    refused = load_streamed(huge, &error);
    if (refused != NULL || error == NULL) fail("a header over too few bytes loads in pieces", huge, NULL);
    g_clear_error(&error);
    const long peak = peak_kib();
    if (peak > PEAK_LIMIT_KIB) {
        gchar* detail = g_strdup_printf("peak memory %ld KiB", peak);
        fail("memory followed the file, not the image", padded, detail);
        g_free(detail);
    }
    check_out_of_memory(huge);
    g_clear_object(&whole);
    g_clear_object(&streamed);
    g_clear_object(&want);
    g_free(padded);
    g_free(huge);
    printf("pixbuf_test: padding and a short file cost %ld KiB at most: %s\n", peak, failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}

/* The kind a pixbuf saves as, or 0 when saving fails (with `error_text` set). */
static int saved_kind(GdkPixbuf* pixbuf, const char* path, const char* key, const char* value, gchar** error_text) {
    GError* error = NULL;
    const gboolean saved = key != NULL ? gdk_pixbuf_save(pixbuf, path, "qvr", &error, key, value, NULL)
                                       : gdk_pixbuf_save(pixbuf, path, "qvr", &error, NULL);
    qvr_info info;
    *error_text = error != NULL ? g_strdup(error->message) : NULL;
    g_clear_error(&error);
    if (!saved || qvr_read_info_file(path, &info) != QVR_OK) return 0;
    return info.depth;
}

static int run_saving(const char* workdir) {
    GdkPixbuf* opaque = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 5, 3);
    gdk_pixbuf_fill(opaque, 0x336699FF);
    GdkPixbuf* translucent = gdk_pixbuf_copy(opaque);
    gdk_pixbuf_get_pixels(translucent)[3] = 254;
    const struct {
        GdkPixbuf* pixbuf;
        const char *key, *value;
        int depth;          /* 0: refused */
        const char* reason; /* in the refusal */
    } cases[] = {
        {opaque, NULL, NULL, 24, NULL},
        {opaque, "alpha", "keep", 32, NULL},
        {translucent, NULL, NULL, 32, NULL},
        {translucent, "alpha", "drop", 24, NULL},
        {opaque, "quality", "90", 0, "\"quality\""},
        {opaque, "alpha", "maybe", 0, "\"maybe\""},
    };
    gchar* path = g_build_filename(workdir, "saving.qvr", NULL);
    for (size_t i = 0; i < G_N_ELEMENTS(cases); ++i) {
        gchar* error_text = NULL;
        const int depth = saved_kind(cases[i].pixbuf, path, cases[i].key, cases[i].value, &error_text);
        gchar* detail = g_strdup_printf("case %zu: depth %d, expected %d (%s)", i, depth, cases[i].depth,
                                        error_text ? error_text : "saved");
        if (depth != cases[i].depth) fail("saving chose the wrong kind", path, detail);
        if (cases[i].reason != NULL && (error_text == NULL || strstr(error_text, cases[i].reason) == NULL))
            fail("a refused option is not named", path, detail);
        g_free(detail);
        g_free(error_text);
        remove(path);
    }
    g_free(path);
    g_object_unref(opaque);
    g_object_unref(translucent);
    printf("pixbuf_test: saving: %s\n", failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "loader") == 0) return run_loader(argv[2], argv[3]);
    if (argc == 5 && strcmp(argv[1], "size") == 0) return run_size(argv[2], atoi(argv[3]), atoi(argv[4]));
    if (argc == 4 && strcmp(argv[1], "same") == 0) return run_same(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "bounded") == 0) return run_bounded(argv[2], argv[3]);
    if (argc == 3 && strcmp(argv[1], "saving") == 0) return run_saving(argv[2]);
    fprintf(stderr,
            "usage: pixbuf_test loader SAMPLES WORKDIR | size FILE W H | same A B | bounded SAMPLE WORKDIR"
            " | saving WORKDIR\n");
    return 2;
}
