/* The module's string table: the one place its texts are written. The
   Windows resource script and the portable string loader both read it.
   Texts are wide so that the registered sign survives into any code page;
   the ANSI loader hands them out in the ANSI code page. */
#ifndef QVR_RESOURCES_STRINGS_H
#define QVR_RESOURCES_STRINGS_H

#define QVR_RESOURCE_ID 16000 /* the property list and the terminology share it */

#define QVR_STRING_ABOUT 16000
/* Loaded for the about box's caption but kept out of the table, so the load
   gives an empty string and the about box has an empty caption. */
#define QVR_STRING_ABOUT_CAPTION 16001
#define QVR_STRING_HOST_TOO_OLD 16992
#define QVR_STRING_HOST_TOO_NEW 16993

#define QVR_TEXT_ABOUT                                                    \
    L"Brimwater QVR\n"                                                    \
    L"\n"                                                                 \
    L"Version 1.0 Release 2(1999/9/26)\n"                                 \
    L"Copyright \x00A9 the QVR plug-in authors. Free to use and share.\n" \
    L"\n"                                                                 \
    L"Brimwater QVR plug-in file format module for Adobe Photoshop."

#define QVR_TEXT_HOST_TOO_OLD L"This plug-in requires Adobe Photoshop\x00AE ^1 or later functionality."

#define QVR_TEXT_HOST_TOO_NEW L"This plug-in is incompatible with this version of the host program."

#endif
