/* GIMP 2.10 file plug-in for QVR images: load, export and thumbnail
 * procedures over libqvr. Everything GIMP-specific lives here; the file
 * format is the library's business.
 *
 * Loading: 8 bpp files open as indexed images with their 256-entry palette,
 * 16 bpp files as RGB, with an alpha channel when the file has an alpha plane.
 * Export: indexed layers become 8 bpp files; RGB layers 16 bpp files; layers
 * with alpha (indexed ones too) 16 bpp files, with an alpha plane when some
 * pixel is not opaque. Other modes are brought to RGB by GIMP's export step.
 * The library's colour rules hold: an indexed image whose colours an 8 bpp
 * file would change is renumbered, and one with more colours than fit is
 * refused with the reason and the way to RGB, never stored as something
 * the user did not choose.
 */
#include <stdio.h>
#include <string.h>

#include <sys/stat.h>

#include <glib/gstdio.h>

#include <libgimp/gimp.h>
#include <libgimp/gimpui.h>

#include "integrations/failure_text.h"
#include "qvr/qvr.h"

#define LOAD_PROC "file-qvr-load"
#define LOAD_THUMB_PROC "file-qvr-load-thumb"
#define SAVE_PROC "file-qvr-save"
#define PLUG_IN_BINARY "file-qvr"
#define MIME_TYPE "image/x-qvr"
#define STRIP_ROWS 64 /* rows moved between GIMP and the library per step */

static void query(void);
static void run(const gchar* name, gint nparams, const GimpParam* param, gint* nreturn_vals, GimpParam** return_vals);

const GimpPlugInInfo PLUG_IN_INFO = {NULL, NULL, query, run};

MAIN()

/* QVR_SIGNATURE as GIMP's magic: a string at offset 0, all but its letters in octal. */
static void register_magic(void) {
    GString* magic = g_string_new("0,string,");
    for (int i = 0; i < QVR_SIGNATURE_BYTES; ++i) {
        const guchar byte = (guchar)QVR_SIGNATURE[i];
        if (g_ascii_isalpha(byte))
            g_string_append_c(magic, (gchar)byte);
        else
            g_string_append_printf(magic, "\\%03o", byte);
    }
    gimp_register_magic_load_handler(LOAD_PROC, "qvr", "", magic->str);
    g_string_free(magic, TRUE);
}

static void query(void) {
    static const GimpParamDef load_args[] = {
        {GIMP_PDB_INT32, "run-mode", "The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1) }"},
        {GIMP_PDB_STRING, "filename", "The name of the file to load"},
        {GIMP_PDB_STRING, "raw-filename", "The name entered"},
    };
    static const GimpParamDef load_return_vals[] = {
        {GIMP_PDB_IMAGE, "image", "Output image"},
    };
    static const GimpParamDef thumb_args[] = {
        {GIMP_PDB_STRING, "filename", "The name of the file to load"},
        {GIMP_PDB_INT32, "thumb-size", "Preferred thumbnail size"},
    };
    static const GimpParamDef thumb_return_vals[] = {
        {GIMP_PDB_IMAGE, "image", "Thumbnail image"},
        {GIMP_PDB_INT32, "image-width", "Width of full-sized image"},
        {GIMP_PDB_INT32, "image-height", "Height of full-sized image"},
    };
    static const GimpParamDef save_args[] = {
        {GIMP_PDB_INT32, "run-mode", "The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1) }"},
        {GIMP_PDB_IMAGE, "image", "Input image"},
        {GIMP_PDB_DRAWABLE, "drawable", "Drawable to export"},
        {GIMP_PDB_STRING, "filename", "The name of the file to export the image in"},
        {GIMP_PDB_STRING, "raw-filename", "The name entered"},
    };

    gimp_install_procedure(LOAD_PROC, "Loads QVR images",
                           "Opens 8 bpp QVR files as indexed images and 16 bpp files as RGB, "
                           "with alpha where the file has an alpha plane.",
                           "QVR developers", "QVR developers", "2026", "QVR image", NULL, GIMP_PLUGIN,
                           G_N_ELEMENTS(load_args), G_N_ELEMENTS(load_return_vals), load_args, load_return_vals);
    gimp_register_file_handler_mime(LOAD_PROC, MIME_TYPE);
    register_magic();

    gimp_install_procedure(LOAD_THUMB_PROC, "Loads a preview of a QVR image", "Opens the image for a preview.",
                           "QVR developers", "QVR developers", "2026", NULL, NULL, GIMP_PLUGIN,
                           G_N_ELEMENTS(thumb_args), G_N_ELEMENTS(thumb_return_vals), thumb_args, thumb_return_vals);
    gimp_register_thumbnail_loader(LOAD_PROC, LOAD_THUMB_PROC);

    gimp_install_procedure(SAVE_PROC, "Exports QVR images",
                           "Indexed layers become 8 bpp files (at most 254 colours besides white), RGB "
                           "layers 16 bpp files, layers with alpha 16 bpp files with an alpha plane when "
                           "some pixel is not opaque. QVR keeps colour at 5-6-5 precision.",
                           "QVR developers", "QVR developers", "2026", "QVR image", "INDEXED*, RGB*, GRAY*",
                           GIMP_PLUGIN, G_N_ELEMENTS(save_args), 0, save_args, NULL);
    gimp_register_file_handler_mime(SAVE_PROC, MIME_TYPE);
    gimp_register_save_handler(SAVE_PROC, "qvr", "");
}

static const char* display_name(const gchar* filename) { return gimp_filename_to_utf8(filename); }

/* The library's layouts as GIMP's: layer type and the pixel format of its buffer. */
static GimpImageType layer_type(qvr_format format) {
    switch (format) {
    case QVR_FORMAT_INDEXED: return GIMP_INDEXED_IMAGE;
    case QVR_FORMAT_RGBA: return GIMP_RGBA_IMAGE;
    default: return GIMP_RGB_IMAGE;
    }
}

static const Babl* pixel_format(gint32 drawable, qvr_format format) {
    switch (format) {
    case QVR_FORMAT_INDEXED: return gimp_drawable_get_format(drawable); /* indices as they are */
    case QVR_FORMAT_RGBA: return babl_format("R'G'B'A u8");
    default: return babl_format("R'G'B' u8");
    }
}

/* Reads a drawable's rows into a qvr_image, a strip at a time, with the
 * progress bar going to half way. */
static void read_rows(gint32 drawable, qvr_image* image) {
    GeglBuffer* buffer = gimp_drawable_get_buffer(drawable);
    const Babl* format = pixel_format(drawable, image->format);
    const gsize row_bytes = (gsize)image->width * (gsize)qvr_format_channels(image->format);
    for (guint32 top = 0; top < image->height; top += STRIP_ROWS) {
        const guint32 rows = MIN(STRIP_ROWS, image->height - top);
        const GeglRectangle strip = {0, (gint)top, (gint)image->width, (gint)rows};
        gegl_buffer_get(buffer, &strip, 1.0, format, image->pixels + (gsize)top * row_bytes, GEGL_AUTO_ROWSTRIDE,
                        GEGL_ABYSS_NONE);
        gimp_progress_update(0.5 * (top + rows) / image->height);
    }
    g_object_unref(buffer);
}

/* The file as the decoder's stream. */
static int64_t file_read(void* user, void* buffer, size_t size) {
    FILE* file = user;
    const size_t got = fread(buffer, 1, size, file);
    return got < size && ferror(file) ? -1 : (int64_t)got;
}

static int file_seek(void* user, uint64_t offset) {
    return offset <= G_MAXINT64 && fseeko(user, (off_t)offset, SEEK_SET) == 0 ? 0 : -1;
}

static int64_t file_size(void* user) {
    GStatBuf status;
    return fstat(fileno(user), &status) == 0 && S_ISREG(status.st_mode) ? (int64_t)status.st_size : -1;
}

/* Where decoded rows go: a strip of rows, moved into the layer's buffer when
 * full, and the progress bar, moved as plane rows are decoded. */
typedef struct {
    GeglBuffer* buffer;
    const Babl* format;
    guint32 width, height;
    gsize row_bytes;
    guint8* strip;      /* STRIP_ROWS rows */
    guint32 strip_top;  /* image row of the strip's first row */
    guint32 strip_rows; /* rows in the strip */
} RowSink;

static void flush_strip(RowSink* sink) {
    if (sink->strip_rows == 0) return;
    const GeglRectangle strip = {0, (gint)sink->strip_top, (gint)sink->width, (gint)sink->strip_rows};
    gegl_buffer_set(sink->buffer, &strip, 0, sink->format, sink->strip, GEGL_AUTO_ROWSTRIDE);
    sink->strip_top += sink->strip_rows;
    sink->strip_rows = 0;
}

/* Each row into the strip; the bar follows every plane row. A progress update
 * that GIMP does not take stops the decode. */
static int on_row(void* user, const qvr_row* row) {
    RowSink* sink = user;
    if (row->pixels != NULL) {
        memcpy(sink->strip + (gsize)sink->strip_rows * sink->row_bytes, row->pixels, sink->row_bytes);
        if (++sink->strip_rows == STRIP_ROWS || row->y + 1 == sink->height) flush_strip(sink);
    }
    /* libgimp sends GIMP only the steps of more than 1/256, so every row may call it. */
    return gimp_progress_update(row->total > 0 ? (gdouble)row->done / row->total : 1.0) ? 0 : 1;
}

/* The library's reason; for damage, with the row and plane where it was found. */
static void set_load_error(GError** error, const gchar* filename, qvr_error code, const qvr_decoder* decoder) {
    char reason[QVR_FAILURE_TEXT_BYTES];
    qvr_failure_text(code, decoder, reason);
    g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_FAILED, "Could not open '%s': %s", display_name(filename), reason);
}

/* The image made from the header, its layer filled as rows are decoded. */
static qvr_error decode_into_image(const gchar* filename, qvr_decoder* decoder, gint32* image_id) {
    qvr_info info;
    guint8 palette[768];
    qvr_error code = qvr_decoder_info(decoder, &info, palette);
    if (code != QVR_OK) return code;
    const qvr_format format = info.kind == QVR_KIND_INDEXED ? QVR_FORMAT_INDEXED
                              : info.kind == QVR_KIND_RGBA  ? QVR_FORMAT_RGBA
                                                            : QVR_FORMAT_RGB;
    RowSink sink = {NULL, NULL, info.width, info.height, (gsize)info.width * (gsize)qvr_format_channels(format),
                    NULL, 0,    0};
    sink.strip = g_try_malloc(sink.row_bytes * STRIP_ROWS);
    if (sink.strip == NULL) return QVR_ERROR_OUT_OF_MEMORY;
    const GimpImageBaseType base = format == QVR_FORMAT_INDEXED ? GIMP_INDEXED : GIMP_RGB;
    *image_id = gimp_image_new((gint)info.width, (gint)info.height, base);
    gimp_image_set_filename(*image_id, filename);
    if (base == GIMP_INDEXED) gimp_image_set_colormap(*image_id, palette, 256);
    const gint32 layer = gimp_layer_new(*image_id, "Background", (gint)info.width, (gint)info.height,
                                        layer_type(format), 100, gimp_image_get_default_new_layer_mode(*image_id));
    gimp_image_insert_layer(*image_id, layer, -1, 0);
    sink.buffer = gimp_drawable_get_buffer(layer);
    sink.format = pixel_format(layer, format);
    code = qvr_decoder_read(decoder, format, NULL, 0, on_row, &sink);
    g_object_unref(sink.buffer);
    g_free(sink.strip);
    return code;
}

/* Reads the file through the library's stream decoder. GIMP_PDB_CANCEL when
 * GIMP stopped taking progress, with no image left behind. */
static GimpPDBStatusType load_image(const gchar* filename, gint32* image_id, GError** error) {
    gimp_progress_init_printf("Opening '%s'", display_name(filename));
    *image_id = -1;
    FILE* file = g_fopen(filename, "rb");
    if (file == NULL) {
        set_load_error(error, filename, QVR_ERROR_OPEN, NULL);
        return GIMP_PDB_EXECUTION_ERROR;
    }
    const qvr_reader reader = {file, file_read, file_seek, file_size};
    qvr_decoder* decoder = NULL;
    qvr_error code = qvr_decoder_new(&reader, NULL, &decoder);
    if (code == QVR_OK) code = decode_into_image(filename, decoder, image_id);
    if (code != QVR_OK) {
        if (*image_id != -1) gimp_image_delete(*image_id);
        *image_id = -1;
        if (code != QVR_ERROR_CANCELLED) set_load_error(error, filename, code, decoder);
    }
    qvr_decoder_free(decoder);
    fclose(file);
    if (code == QVR_ERROR_CANCELLED) return GIMP_PDB_CANCEL;
    return code == QVR_OK ? GIMP_PDB_SUCCESS : GIMP_PDB_EXECUTION_ERROR;
}

/* Indexed layers keep their indices and palette (padded with black to 256
 * entries); anything with alpha goes out as RGBA; the rest as RGB. */
static qvr_format export_format(gint32 drawable) {
    if (gimp_drawable_has_alpha(drawable)) return QVR_FORMAT_RGBA;
    return gimp_drawable_is_indexed(drawable) ? QVR_FORMAT_INDEXED : QVR_FORMAT_RGB;
}

static gboolean export_image(const gchar* filename, gint32 image_id, gint32 drawable, GError** error) {
    gimp_progress_init_printf("Exporting '%s'", display_name(filename));
    qvr_image image;
    memset(&image, 0, sizeof image);
    image.width = (guint32)gimp_drawable_width(drawable);
    image.height = (guint32)gimp_drawable_height(drawable);
    image.format = export_format(drawable);
    if (image.format == QVR_FORMAT_INDEXED) {
        gint colours = 0;
        guchar* colormap = gimp_image_get_colormap(image_id, &colours);
        memcpy(image.palette, colormap, 3 * (gsize)MIN(colours, 256));
        g_free(colormap);
    }
    image.pixels = g_try_malloc((gsize)image.width * image.height * (gsize)qvr_format_channels(image.format));
    qvr_error code = QVR_ERROR_OUT_OF_MEMORY;
    if (image.pixels != NULL) {
        read_rows(drawable, &image);
        code = qvr_encode_file(&image, filename);
        g_free(image.pixels);
    }
    if (code == QVR_ERROR_COLOURS) {
        g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_FAILED,
                    "Could not export '%s': %s. Convert the image to RGB (Image > Mode > RGB) to export it "
                    "as a 16 bpp file.",
                    display_name(filename), qvr_error_string(code));
        return FALSE;
    }
    if (code != QVR_OK) {
        g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_FAILED, "Could not export '%s': %s", display_name(filename),
                    qvr_error_string(code));
        return FALSE;
    }
    gimp_progress_update(1.0);
    return TRUE;
}

static GimpPDBStatusType run_export(const GimpParam* param, GError** error) {
    const GimpRunMode run_mode = param[0].data.d_int32;
    gint32 image_id = param[1].data.d_int32;
    gint32 drawable = param[2].data.d_int32;
    GimpExportReturn export = GIMP_EXPORT_IGNORE;
    if (run_mode != GIMP_RUN_NONINTERACTIVE) {
        gimp_ui_init(PLUG_IN_BINARY, FALSE);
        export = gimp_export_image(
            &image_id, &drawable, "QVR",
            GIMP_EXPORT_CAN_HANDLE_RGB | GIMP_EXPORT_CAN_HANDLE_INDEXED | GIMP_EXPORT_CAN_HANDLE_ALPHA);
        if (export == GIMP_EXPORT_CANCEL) return GIMP_PDB_CANCEL;
    }
    const gboolean ok = export_image(param[3].data.d_string, image_id, drawable, error);
    if (export == GIMP_EXPORT_EXPORT) gimp_image_delete(image_id);
    return ok ? GIMP_PDB_SUCCESS : GIMP_PDB_EXECUTION_ERROR;
}

static void run(const gchar* name, gint nparams, const GimpParam* param, gint* nreturn_vals, GimpParam** return_vals) {
    static GimpParam values[4];
    GError* error = NULL;
    GimpPDBStatusType status = GIMP_PDB_CALLING_ERROR;
    *nreturn_vals = 1;
    *return_vals = values;
    gegl_init(NULL, NULL);

    if (strcmp(name, LOAD_PROC) == 0 && nparams >= 2) {
        gint32 image_id = -1;
        status = load_image(param[1].data.d_string, &image_id, &error);
        *nreturn_vals = 2;
        values[1].type = GIMP_PDB_IMAGE;
        values[1].data.d_image = image_id;
    } else if (strcmp(name, LOAD_THUMB_PROC) == 0 && nparams >= 2) {
        /* QVR holds one size; GIMP scales the preview itself. */
        gint32 image_id = -1;
        status = load_image(param[0].data.d_string, &image_id, &error);
        if (status == GIMP_PDB_SUCCESS) {
            *nreturn_vals = 4;
            values[1].type = GIMP_PDB_IMAGE;
            values[1].data.d_image = image_id;
            values[2].type = GIMP_PDB_INT32;
            values[2].data.d_int32 = gimp_image_width(image_id);
            values[3].type = GIMP_PDB_INT32;
            values[3].data.d_int32 = gimp_image_height(image_id);
        }
    } else if (strcmp(name, SAVE_PROC) == 0 && nparams >= 4) {
        status = run_export(param, &error);
    }

    if (status == GIMP_PDB_EXECUTION_ERROR && error != NULL) {
        *nreturn_vals = 2;
        values[1].type = GIMP_PDB_STRING;
        values[1].data.d_string = error->message; /* GIMP shows it; the process ends right after */
    }
    values[0].type = GIMP_PDB_STATUS;
    values[0].data.d_status = status;
}
