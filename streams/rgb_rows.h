// Rows of 5-6-5 pixels to and from packed RGB bytes for the memory path: the
// codec's portable loops, or on x86-64 processors with SSSE3 eight pixels per
// step with byte shuffles (chosen once, at the first call). Both give the
// same bytes.
#pragma once

#include <cstdint>

namespace qvr {

void widenRgbRow(uint8_t* rgb, const uint16_t* pixels, int32_t count);
// Into RGBA, four bytes a pixel with an alpha byte of 255: with SSE2 (every
// x86-64 processor) eight pixels a step, else the codec's portable loop.
void widenRgbaRow(uint8_t* rgba, const uint16_t* pixels, int32_t count);
void narrowRgbRow(uint16_t* pixels, const uint8_t* rgb, int32_t count);

// The shuffled forms alone, for the tests; false when this processor or
// build has none (then nothing is written).
bool widenRgbRowShuffled(uint8_t* rgb, const uint16_t* pixels, int32_t count);
bool narrowRgbRowShuffled(uint16_t* pixels, const uint8_t* rgb, int32_t count);

}  // namespace qvr
