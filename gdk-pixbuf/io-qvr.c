/* gdk-pixbuf loader module for QVR images, over libqvr.
 *
 * Indexed and RGB files load as RGB pixbufs, files with an alpha plane as RGBA.
 * Both the one-shot and the incremental load feed a push decoder: the pixbuf
 * is made as soon as the header is in, each row is copied into it as it is
 * decoded, and finished rows are announced as areas, top to bottom. No more
 * of the file is held than the decoder needs (for files with an alpha plane,
 * the colour plane until its alpha comes), and a damaged file fails with the
 * library's reason, row and plane as soon as the damage is read.
 * Pixbufs with 8-bit RGB or RGBA save as 16 bpp files, with an alpha plane
 * when some pixel is not opaque; the option "alpha" ("auto", "keep" or
 * "drop") chooses otherwise, and any other option is refused.
 */
#include <stdio.h>
#include <string.h>

#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf.h>
#undef GDK_PIXBUF_ENABLE_BACKEND

#include "integrations/failure_text.h"
#include "qvr/qvr.h"

#define READ_CHUNK_BYTES 65536

/* One load, whole or incremental: the header's bytes until the kind is known,
 * then a push decoder that hands each finished row to on_row, which copies it
 * into the pixbuf at its rowstride. Rows decoded by one push are announced
 * together as one area once the push returns. */
typedef struct {
    GdkPixbufModuleSizeFunc size_func;
    GdkPixbufModulePreparedFunc prepared_func;
    GdkPixbufModuleUpdatedFunc updated_func;
    gpointer user_data;
    guint8 header[QVR_HEADER_BYTES];
    gsize header_bytes;
    qvr_decoder* decoder;
    GdkPixbuf* pixbuf;
    guint32 rows_done;     /* rows copied into the pixbuf */
    guint32 rows_reported; /* rows announced through updated_func */
    gboolean declined;     /* the caller asked for the size only */
    gboolean out_of_memory;
    gboolean failed; /* an error was reported; later calls only return FALSE */
} QvrLoadContext;

/* The library's reason; for damage, with the row and plane where it was found. */
static void set_qvr_error(GError** error, qvr_error code, const qvr_decoder* decoder) {
    int kind = GDK_PIXBUF_ERROR_FAILED;
    switch (code) {
    case QVR_ERROR_NOT_QVR: kind = GDK_PIXBUF_ERROR_UNKNOWN_TYPE; break;
    case QVR_ERROR_DAMAGED: kind = GDK_PIXBUF_ERROR_CORRUPT_IMAGE; break;
    case QVR_ERROR_OUT_OF_MEMORY:
    case QVR_ERROR_TOO_LARGE: kind = GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY; break;
    default: break;
    }
    char reason[QVR_FAILURE_TEXT_BYTES];
    qvr_failure_text(code, decoder, reason);
    g_set_error(error, GDK_PIXBUF_ERROR, kind, "Cannot read this QVR image: %s", reason);
}

/* The first call comes once the header is in: the size goes to size_func and,
 * unless the caller wants only that, the pixbuf is made and handed over. */
static int prepare_pixbuf(QvrLoadContext* context) {
    qvr_info info;
    if (qvr_decoder_info(context->decoder, &info, NULL) != QVR_OK) return 1;
    int width = (int)info.width;
    int height = (int)info.height;
    if (context->size_func != NULL) context->size_func(&width, &height, context->user_data);
    if (width == 0 || height == 0) {
        context->declined = TRUE;
        return 1;
    }
    /* gdk_pixbuf_new returns NULL rather than aborting when the pixels do not fit in memory. */
    context->pixbuf =
        gdk_pixbuf_new(GDK_COLORSPACE_RGB, info.kind == QVR_KIND_RGBA, 8, (int)info.width, (int)info.height);
    if (context->pixbuf == NULL) {
        context->out_of_memory = TRUE;
        return 1;
    }
    if (context->prepared_func != NULL) context->prepared_func(context->pixbuf, NULL, context->user_data);
    return 0;
}

static int on_row(void* user, const qvr_row* row) {
    QvrLoadContext* context = user;
    if (context->pixbuf == NULL) return prepare_pixbuf(context);
    if (row->pixels == NULL) return 0;
    const gsize row_bytes =
        (gsize)gdk_pixbuf_get_width(context->pixbuf) * (gsize)gdk_pixbuf_get_n_channels(context->pixbuf);
    memcpy(gdk_pixbuf_get_pixels(context->pixbuf) + (gsize)row->y * (gsize)gdk_pixbuf_get_rowstride(context->pixbuf),
           row->pixels, row_bytes);
    context->rows_done = row->y + 1;
    return 0;
}

/* Announces the rows copied since the last call as one area. */
static void report_rows(QvrLoadContext* context) {
    if (context->rows_done == context->rows_reported) return;
    if (context->updated_func != NULL)
        context->updated_func(context->pixbuf, 0, (int)context->rows_reported, gdk_pixbuf_get_width(context->pixbuf),
                              (int)(context->rows_done - context->rows_reported), context->user_data);
    context->rows_reported = context->rows_done;
}

static gboolean complete(const QvrLoadContext* context) {
    return context->declined ||
           (context->pixbuf != NULL && context->rows_done == (guint32)gdk_pixbuf_get_height(context->pixbuf));
}

/* A code from the decoder as the load's outcome: our own reasons for stopping
 * it (size only, no memory) come back from the library as a cancel. */
static gboolean check(QvrLoadContext* context, qvr_error code, GError** error) {
    if (code == QVR_ERROR_CANCELLED && context->declined) return TRUE;
    if (code == QVR_ERROR_CANCELLED && context->out_of_memory) code = QVR_ERROR_OUT_OF_MEMORY;
    if (code == QVR_OK) return TRUE;
    set_qvr_error(error, code, context->decoder);
    context->failed = TRUE;
    return FALSE;
}

static gpointer qvr_begin_load(GdkPixbufModuleSizeFunc size_func, GdkPixbufModulePreparedFunc prepared_func,
                               GdkPixbufModuleUpdatedFunc updated_func, gpointer user_data, GError** error) {
    QvrLoadContext* context = g_try_new0(QvrLoadContext, 1);
    if (context == NULL) {
        set_qvr_error(error, QVR_ERROR_OUT_OF_MEMORY, NULL);
        return NULL;
    }
    context->size_func = size_func;
    context->prepared_func = prepared_func;
    context->updated_func = updated_func;
    context->user_data = user_data;
    return context;
}

/* The header's bytes are kept until they tell the kind, which chooses the
 * pixbuf's layout (RGBA only for files with an alpha plane); the decoder is
 * made then and takes them first. */
static gboolean start_decoder(QvrLoadContext* context, GError** error) {
    qvr_info info;
    qvr_error code = qvr_read_info_memory(context->header, context->header_bytes, &info);
    if (code == QVR_OK)
        code = qvr_decoder_new_push(info.kind == QVR_KIND_RGBA ? QVR_FORMAT_RGBA : QVR_FORMAT_RGB, NULL, on_row,
                                    context, &context->decoder);
    if (code == QVR_OK) code = qvr_decoder_push(context->decoder, context->header, context->header_bytes);
    report_rows(context);
    return check(context, code, error);
}

static gboolean qvr_load_increment(gpointer data, const guchar* buffer, guint size, GError** error) {
    QvrLoadContext* context = data;
    if (context->failed) return FALSE;
    if (context->decoder == NULL) {
        const gsize taken = MIN((gsize)size, QVR_HEADER_BYTES - context->header_bytes);
        if (taken > 0) memcpy(context->header + context->header_bytes, buffer, taken);
        context->header_bytes += taken;
        buffer += taken;
        size -= (guint)taken;
        if (context->header_bytes < QVR_HEADER_BYTES) return TRUE;
        if (!start_decoder(context, error)) return FALSE;
    }
    /* Bytes after the last row (padding, or anything once the caller has the size) are not the decoder's. */
    if (size == 0 || complete(context)) return TRUE;
    const qvr_error code = qvr_decoder_push(context->decoder, buffer, size);
    report_rows(context);
    return check(context, code, error);
}

/* The outcome of the whole load; frees the context. */
static gboolean qvr_stop_load(gpointer data, GError** error) {
    QvrLoadContext* context = data;
    gboolean ok = !context->failed;
    if (ok && context->decoder == NULL) {
        /* The data ended inside the header: the library says why it is not an image. */
        qvr_info info;
        ok = check(context, qvr_read_info_memory(context->header, context->header_bytes, &info), error);
        if (ok) ok = start_decoder(context, error);
    }
    if (ok && !complete(context)) {
        ok = check(context, qvr_decoder_finish(context->decoder), error);
        report_rows(context);
    }
    qvr_decoder_free(context->decoder);
    if (context->pixbuf != NULL) g_object_unref(context->pixbuf);
    g_free(context);
    return ok;
}

static void keep_pixbuf(GdkPixbuf* pixbuf, GdkPixbufAnimation* animation, gpointer user) {
    (void)animation;
    *(GdkPixbuf**)user = g_object_ref(pixbuf);
}

/* The one-shot load: the file through the same decoder, read in chunks and no
 * further than the last row. */
static GdkPixbuf* qvr_image_load(FILE* file, GError** error) {
    GdkPixbuf* pixbuf = NULL;
    QvrLoadContext* context = qvr_begin_load(NULL, keep_pixbuf, NULL, &pixbuf, error);
    if (context == NULL) return NULL;
    guint8* chunk = g_try_malloc(READ_CHUNK_BYTES);
    gboolean ok = chunk != NULL;
    if (!ok) check(context, QVR_ERROR_OUT_OF_MEMORY, error);
    size_t got;
    while (ok && !complete(context) && (got = fread(chunk, 1, READ_CHUNK_BYTES, file)) > 0)
        ok = qvr_load_increment(context, chunk, (guint)got, error);
    g_free(chunk);
    if (ok && ferror(file)) {
        g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED, "Cannot read this QVR file");
        context->failed = TRUE;
        ok = FALSE;
    }
    ok = qvr_stop_load(context, ok ? error : NULL) && ok;
    if (!ok && pixbuf != NULL) g_clear_object(&pixbuf);
    return pixbuf;
}

/* The saving options: "alpha" with "auto", "keep" or "drop"; FALSE, naming
 * the option, for anything else. */
static gboolean parse_save_options(gchar** keys, gchar** values, qvr_encode_options* options, GError** error) {
    static const char* const alpha_names[] = {"auto", "keep", "drop"};
    static const qvr_alpha alpha_rules[] = {QVR_ALPHA_AUTO, QVR_ALPHA_KEEP, QVR_ALPHA_DROP};
    memset(options, 0, sizeof *options);
    for (gsize i = 0; keys != NULL && keys[i] != NULL; ++i) {
        gboolean known = FALSE;
        for (gsize r = 0; strcmp(keys[i], "alpha") == 0 && r < G_N_ELEMENTS(alpha_names); ++r) {
            if (strcmp(values[i], alpha_names[r]) != 0) continue;
            options->alpha = alpha_rules[r];
            known = TRUE;
        }
        if (known) continue;
        if (strcmp(keys[i], "alpha") == 0)
            g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_BAD_OPTION,
                        "QVR option \"alpha\" takes auto, keep or drop, not \"%s\"", values[i]);
        else
            g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_BAD_OPTION,
                        "QVR files take no option \"%s\" (only \"alpha\")", keys[i]);
        return FALSE;
    }
    return TRUE;
}

static gboolean qvr_image_save(FILE* file, GdkPixbuf* pixbuf, gchar** keys, gchar** values, GError** error) {
    qvr_encode_options options;
    if (!parse_save_options(keys, values, &options, error)) return FALSE;
    if (gdk_pixbuf_get_bits_per_sample(pixbuf) != 8) {
        g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_UNSUPPORTED_OPERATION,
                            "QVR files take 8-bit RGB or RGBA pixbufs");
        return FALSE;
    }
    const int width = gdk_pixbuf_get_width(pixbuf);
    const int height = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const int rowstride = gdk_pixbuf_get_rowstride(pixbuf);
    const guint8* source = gdk_pixbuf_read_pixels(pixbuf);
    qvr_image image;
    memset(&image, 0, sizeof image);
    image.width = (uint32_t)width;
    image.height = (uint32_t)height;
    image.format = channels == 4 ? QVR_FORMAT_RGBA : QVR_FORMAT_RGB;
    /* Rows without padding are the library's layout already; padded rows are packed first. */
    const gsize row_bytes = (gsize)width * (gsize)channels;
    guint8* packed = NULL;
    if ((gsize)rowstride == row_bytes) {
        image.pixels = (uint8_t*)source; /* only read */
    } else {
        packed = g_try_malloc(row_bytes * (gsize)height);
        if (packed == NULL) {
            set_qvr_error(error, QVR_ERROR_OUT_OF_MEMORY, NULL);
            return FALSE;
        }
        for (int y = 0; y < height; ++y)
            memcpy(packed + (gsize)y * row_bytes, source + (gsize)y * (gsize)rowstride, row_bytes);
        image.pixels = packed;
    }
    void* encoded = NULL;
    size_t encoded_size = 0;
    const qvr_error code = qvr_encode_memory_with(&image, &options, &encoded, &encoded_size);
    g_free(packed);
    if (code != QVR_OK) {
        g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED, "Cannot write this image as QVR: %s",
                    qvr_error_string(code));
        return FALSE;
    }
    const gboolean written = fwrite(encoded, 1, encoded_size, file) == encoded_size;
    qvr_free(encoded);
    if (!written) g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED, "Cannot write the QVR file");
    return written;
}

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module);
G_MODULE_EXPORT void fill_info(GdkPixbufFormat* info);

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module) {
    module->load = qvr_image_load;
    module->begin_load = qvr_begin_load;
    module->load_increment = qvr_load_increment;
    module->stop_load = qvr_stop_load;
    module->save = qvr_image_save;
}

G_MODULE_EXPORT void fill_info(GdkPixbufFormat* info) {
    /* QVR_SIGNATURE as a pattern: its zero bytes are 'z' in the mask. */
    static gchar prefix[QVR_SIGNATURE_BYTES + 1], mask[QVR_SIGNATURE_BYTES + 1];
    static GdkPixbufModulePattern signature[] = {
        {prefix, mask, 100},
        {NULL, NULL, 0},
    };
    for (int i = 0; i < QVR_SIGNATURE_BYTES; ++i) {
        prefix[i] = QVR_SIGNATURE[i] != 0 ? QVR_SIGNATURE[i] : 'x';
        mask[i] = QVR_SIGNATURE[i] != 0 ? ' ' : 'z';
    }
    static gchar* mime_types[] = {"image/x-qvr", NULL};
    static gchar* extensions[] = {"qvr", NULL};
    info->name = "qvr";
    info->signature = signature;
    info->description = "QVR image";
    info->mime_types = mime_types;
    info->extensions = extensions;
    info->flags = GDK_PIXBUF_FORMAT_WRITABLE | GDK_PIXBUF_FORMAT_THREADSAFE;
    info->license = "";
}
