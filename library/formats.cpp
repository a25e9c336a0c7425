// The layouts' sizes, on their own: the streaming decoder, which the WIC
// codec builds in without the file calls, needs them too.
#include "qvr/qvr.h"

extern "C" int qvr_format_channels(qvr_format format) {
    switch (format) {
    case QVR_FORMAT_INDEXED: return 1;
    case QVR_FORMAT_RGB: return 3;
    case QVR_FORMAT_RGBA: return 4;
    case QVR_FORMAT_AUTO: return 0;
    }
    return 0;
}
