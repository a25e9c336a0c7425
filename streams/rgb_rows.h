// Rows for the memory path: 5-6-5 pixels to and from packed RGB or RGBA
// bytes, and alpha samples to and from RGBA. Each is the codec's portable
// loop, or on x86 processors several pixels a step with vector instructions:
// SSE2, which every x86-64 processor has, and, chosen once at the first call
// where the processor has them, SSSE3 byte shuffles for RGB and, for RGBA
// both ways, AVX2 steps twice as wide (x86-64 builds other than Windows').
// All give the same bytes.
#pragma once

#include <cstdint>

namespace qvr {

void widenRgbRow(uint8_t* rgb, const uint16_t* pixels, int32_t count);
// Into RGBA, four bytes a pixel with an alpha byte of 255, and back.
void widenRgbaRow(uint8_t* rgba, const uint16_t* pixels, int32_t count);
void pixelsFromRgba(uint16_t* pixels, const uint8_t* rgba, int32_t count);

// Alpha samples into and out of RGBA pixels: `alpha` points at the first
// pixel's alpha, its fourth byte. Into them, the colour bytes are kept.
void alphaIntoRgba(uint8_t* alpha, const uint8_t* samples, int32_t count);
void alphaFromRgba(uint8_t* samples, const uint8_t* alpha, int32_t count);
void narrowRgbRow(uint16_t* pixels, const uint8_t* rgb, int32_t count);

// The shuffled forms alone, for the tests; false when this processor or
// build has none (then nothing is written).
bool widenRgbRowShuffled(uint8_t* rgb, const uint16_t* pixels, int32_t count);
bool narrowRgbRowShuffled(uint16_t* pixels, const uint8_t* rgb, int32_t count);

}  // namespace qvr
