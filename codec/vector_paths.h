// Whether the vector paths are compiled: where the target has SSE2, unless the
// build asks for the portable loops everywhere (-DQVR_PORTABLE=ON), as the
// 32-bit module, built for processors without SSE2, always has them.
#pragma once

#if defined(__SSE2__) && !defined(QVR_PORTABLE)
#define QVR_SSE2 1
#endif
