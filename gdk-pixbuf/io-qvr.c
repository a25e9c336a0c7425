/* gdk-pixbuf loader module for QVR images, over libqvr.
 *
 * Indexed and RGB files load as RGB pixbufs, files with an alpha plane as RGBA.
 * Whole-file loading decodes straight into the pixbuf's memory; incremental
 * loading collects the bytes, reports the size as soon as the header is in,
 * and decodes when the data is complete (the codec reads a file as a whole).
 * Either way no more bytes are kept than the header lets the planes use
 * (qvr_file_span): padding after the image costs nothing.
 * Pixbufs with 8-bit RGB or RGBA save as 16 bpp files, with an alpha plane
 * when some pixel is not opaque; the option "alpha" ("auto", "keep" or
 * "drop") chooses otherwise, and any other option is refused.
 */
#include <stdio.h>
#include <string.h>

#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf.h>
#undef GDK_PIXBUF_ENABLE_BACKEND

#include "qvr/qvr.h"

typedef struct {
    GdkPixbufModuleSizeFunc size_func;
    GdkPixbufModulePreparedFunc prepared_func;
    GdkPixbufModuleUpdatedFunc updated_func;
    gpointer user_data;
    GByteArray* data;
    guint64 most; /* bytes the header lets the planes use; G_MAXUINT64 until it is in */
    gboolean size_reported;
    gboolean declined; /* the caller asked for the size only */
} QvrLoadContext;

static void set_qvr_error(GError** error, qvr_error code) {
    int kind = GDK_PIXBUF_ERROR_FAILED;
    switch (code) {
    case QVR_ERROR_NOT_QVR: kind = GDK_PIXBUF_ERROR_UNKNOWN_TYPE; break;
    case QVR_ERROR_DAMAGED: kind = GDK_PIXBUF_ERROR_CORRUPT_IMAGE; break;
    case QVR_ERROR_OUT_OF_MEMORY:
    case QVR_ERROR_TOO_LARGE: kind = GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY; break;
    default: break;
    }
    g_set_error(error, GDK_PIXBUF_ERROR, kind, "Cannot read this QVR image: %s", qvr_error_string(code));
}

static void free_pixels(guchar* pixels, gpointer unused) {
    (void)unused;
    qvr_free(pixels);
}

/* The pixbuf takes over the decoded pixels; no copy. */
static GdkPixbuf* decode_pixbuf(const guint8* data, gsize size, GError** error) {
    qvr_info info;
    qvr_error code = qvr_read_info_memory(data, size, &info);
    qvr_image image;
    if (code == QVR_OK)
        code = qvr_decode_memory(data, size, info.kind == QVR_KIND_RGBA ? QVR_FORMAT_RGBA : QVR_FORMAT_RGB,
                                 NULL, &image);
    if (code != QVR_OK) {
        set_qvr_error(error, code);
        return NULL;
    }
    const gboolean alpha = image.format == QVR_FORMAT_RGBA;
    const int channels = alpha ? 4 : 3;
    return gdk_pixbuf_new_from_data(image.pixels, GDK_COLORSPACE_RGB, alpha, 8, (int)image.width,
                                    (int)image.height, (int)image.width * channels, free_pixels, NULL);
}

/* The bytes that the header at the start of `data` lets the planes use; just
 * the header when it is no QVR header, since decoding then fails from it. */
static guint64 useful_bytes(const GByteArray* data) {
    uint64_t least = 0, most = 0;
    if (qvr_file_span(data->data, data->len, &least, &most) != QVR_OK) return QVR_HEADER_BYTES;
    return most;
}

static GdkPixbuf* qvr_image_load(FILE* file, GError** error) {
    GByteArray* data = g_byte_array_new();
    guint8 chunk[65536];
    size_t got;
    guint64 most = G_MAXUINT64;
    while (data->len < most &&
           (got = fread(chunk, 1, (size_t)MIN((guint64)sizeof chunk, most - data->len), file)) > 0) {
        g_byte_array_append(data, chunk, (guint)got);
        if (most == G_MAXUINT64 && data->len >= QVR_HEADER_BYTES) most = useful_bytes(data);
    }
    GdkPixbuf* pixbuf = NULL;
    if (ferror(file))
        g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED, "Cannot read this QVR file");
    else
        pixbuf = decode_pixbuf(data->data, data->len, error);
    g_byte_array_unref(data);
    return pixbuf;
}

static gpointer qvr_begin_load(GdkPixbufModuleSizeFunc size_func, GdkPixbufModulePreparedFunc prepared_func,
                               GdkPixbufModuleUpdatedFunc updated_func, gpointer user_data, GError** error) {
    (void)error;
    QvrLoadContext* context = g_new0(QvrLoadContext, 1);
    context->size_func = size_func;
    context->prepared_func = prepared_func;
    context->updated_func = updated_func;
    context->user_data = user_data;
    context->data = g_byte_array_new();
    context->most = G_MAXUINT64;
    return context;
}

/* Once the header is in: a damaged header fails at once, a sound one reports its size. */
static gboolean report_size(QvrLoadContext* context, GError** error) {
    qvr_info info;
    const qvr_error code = qvr_read_info_memory(context->data->data, context->data->len, &info);
    if (code != QVR_OK) {
        set_qvr_error(error, code);
        return FALSE;
    }
    context->size_reported = TRUE;
    context->most = useful_bytes(context->data);
    int width = (int)info.width;
    int height = (int)info.height;
    if (context->size_func != NULL) context->size_func(&width, &height, context->user_data);
    if (width == 0 || height == 0) context->declined = TRUE;
    return TRUE;
}

static gboolean qvr_load_increment(gpointer data, const guchar* buffer, guint size, GError** error) {
    QvrLoadContext* context = data;
    if (context->declined || context->data->len >= context->most) return TRUE;
    const guint kept = (guint)MIN((guint64)size, context->most - context->data->len);
    g_byte_array_append(context->data, buffer, kept);
    if (!context->size_reported && context->data->len >= QVR_HEADER_BYTES) {
        if (!report_size(context, error)) return FALSE;
        if (context->data->len > context->most) g_byte_array_set_size(context->data, (guint)context->most);
    }
    return TRUE;
}

static gboolean qvr_stop_load(gpointer data, GError** error) {
    QvrLoadContext* context = data;
    gboolean ok = TRUE;
    if (!context->declined) {
        if (!context->size_reported) ok = report_size(context, error);
        GdkPixbuf* pixbuf = ok && !context->declined
                                ? decode_pixbuf(context->data->data, context->data->len, error)
                                : NULL;
        if (pixbuf != NULL) {
            if (context->prepared_func != NULL) context->prepared_func(pixbuf, NULL, context->user_data);
            if (context->updated_func != NULL)
                context->updated_func(pixbuf, 0, 0, gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf),
                                      context->user_data);
            g_object_unref(pixbuf);
        } else if (ok && !context->declined) {
            ok = FALSE;
        }
    }
    g_byte_array_unref(context->data);
    g_free(context);
    return ok;
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
            set_qvr_error(error, QVR_ERROR_OUT_OF_MEMORY);
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
    if (!written)
        g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED, "Cannot write the QVR file");
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
