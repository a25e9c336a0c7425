/* The reason a decode failed, as the desktop front ends show it: the
 * library's sentence and, for a damaged file, where the damage was found,
 * as in "damaged QVR file: ... (damaged at row 107 of the colour plane)".
 * C, header only, for the gdk-pixbuf loader and the GIMP plug-in. */
#ifndef QVR_INTEGRATIONS_FAILURE_TEXT_H
#define QVR_INTEGRATIONS_FAILURE_TEXT_H

#include <stdio.h>

#include "qvr/qvr.h"

#define QVR_FAILURE_TEXT_BYTES 256

/* `decoder` may be NULL (no decoder was made). */
static inline void qvr_failure_text(qvr_error code, const qvr_decoder* decoder, char text[QVR_FAILURE_TEXT_BYTES]) {
    static const char* const plane_names[] = {NULL, "index", "colour", "alpha"};
    qvr_plane plane = QVR_PLANE_NONE;
    uint32_t row = 0;
    if (code == QVR_ERROR_DAMAGED && decoder != NULL && qvr_decoder_failure(decoder, &plane, &row) == QVR_OK &&
        plane > QVR_PLANE_NONE && plane <= QVR_PLANE_ALPHA)
        snprintf(text, QVR_FAILURE_TEXT_BYTES, "%s (damaged at row %lu of the %s plane)", qvr_error_string(code),
                 (unsigned long)row, plane_names[plane]);
    else
        snprintf(text, QVR_FAILURE_TEXT_BYTES, "%s", qvr_error_string(code));
}

#endif
