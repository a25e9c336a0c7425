#include "streams/rgb_rows.h"

#include "codec/format.h"
#include "codec/internal/pixels.h"
#include "codec/vector_paths.h"

#if defined(__x86_64__) && defined(QVR_SSE2) && (defined(__GNUC__) || defined(__clang__))
#define QVR_SHUFFLED_ROWS 1
#include <immintrin.h>
#elif defined(QVR_SSE2)
#include <emmintrin.h>
#endif
// The RGBA rows also take sixteen or thirty-two pixels a step with AVX2
// where the processor has it; not on Windows (nor Cygwin), where GCC may
// keep 32-byte vectors on a stack aligned to 16 only.
#if defined(QVR_SHUFFLED_ROWS) && !defined(_WIN32) && !defined(__CYGWIN__)
#define QVR_WIDE_ROWS 1
#endif

namespace qvr {

namespace {
constexpr size_t RGBA_STEP = 4;
constexpr int32_t ALPHA_GROUP = 16;  // samples an SSE2 step moves
}  // namespace

#ifdef QVR_SSE2
namespace {

constexpr int32_t STEP_PIXELS = 8;  // 16 bytes of pixels, 24 of RGB, 32 of RGBA

// Widens the 5-6-5 pixels in the 16-bit lanes of p: red and green into the
// two bytes of one lane, blue into the low byte of another, as widenedRgb()
// gives them. For vectors of eight or sixteen lanes, by reference: code
// built without AVX cannot take or give 32-byte vectors by value.
template <typename Lanes>
[[gnu::always_inline]] inline void widenLanes(const Lanes& p, Lanes& redGreen, Lanes& blue) {
    const Lanes r5 = p >> 11, g6 = (p >> 5) & 63, b5 = p & 31;
    const Lanes r8 = (r5 << 3) | (r5 >> 2), g8 = (g6 << 2) | (g6 >> 4);
    redGreen = r8 | (g8 << 8);
    blue = (b5 << 3) | (b5 >> 2);
}
using EightLanes = uint16_t __attribute__((vector_size(16)));

// Eight pixels widened.
struct WidenedLanes {
    __m128i redGreen;
    __m128i blue;
};
inline WidenedLanes widenEight(const uint16_t* pixels) {
    const auto p = reinterpret_cast<EightLanes>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels)));
    EightLanes redGreen, blue;
    widenLanes(p, redGreen, blue);
    return {reinterpret_cast<__m128i>(redGreen), reinterpret_cast<__m128i>(blue)};
}

}  // namespace
#endif

#ifdef QVR_SHUFFLED_ROWS
namespace {

constexpr char Z = static_cast<char>(0x80);  // a shuffle lane that reads as 0

// __builtin_cpu_init() first: a program's own constructors may convert rows
// before the runtime has probed the processor.
bool hasSsse3() {
    static const bool yes = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3"));
    return yes;
}

// Widening: the shuffles interleave widenEight()'s lanes as R G B.
__attribute__((target("ssse3"))) void widenShuffled(uint8_t* rgb, const uint16_t* pixels, int32_t count) {
    const __m128i redGreenFirst = _mm_setr_epi8(0, 1, Z, 2, 3, Z, 4, 5, Z, 6, 7, Z, 8, 9, Z, 10);
    const __m128i blueFirst = _mm_setr_epi8(Z, Z, 0, Z, Z, 2, Z, Z, 4, Z, Z, 6, Z, Z, 8, Z);
    const __m128i redGreenRest = _mm_setr_epi8(11, Z, 12, 13, Z, 14, 15, Z, Z, Z, Z, Z, Z, Z, Z, Z);
    const __m128i blueRest = _mm_setr_epi8(Z, 10, Z, Z, 12, Z, Z, 14, Z, Z, Z, Z, Z, Z, Z, Z);
    int32_t k = 0;
    for (; k + STEP_PIXELS <= count; k += STEP_PIXELS) {
        const WidenedLanes w = widenEight(pixels + k);
        const __m128i first =
            _mm_or_si128(_mm_shuffle_epi8(w.redGreen, redGreenFirst), _mm_shuffle_epi8(w.blue, blueFirst));
        const __m128i rest =
            _mm_or_si128(_mm_shuffle_epi8(w.redGreen, redGreenRest), _mm_shuffle_epi8(w.blue, blueRest));
        uint8_t* out = rgb + 3 * k;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), first);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), rest);
    }
    rgbFrom565(rgb + 3 * k, pixels + k, count - k);
}

// Narrowing: each component is gathered into its own 16-bit lanes (red in
// the high byte, green and blue in the low one), then masked and shifted.
__attribute__((target("ssse3"))) void narrowShuffled(uint16_t* pixels, const uint8_t* rgb, int32_t count) {
    // Pixel k's red is byte 3k of the 24: bytes 0..15 in `a`, 16..23 in `b`.
    const __m128i redA = _mm_setr_epi8(Z, 0, Z, 3, Z, 6, Z, 9, Z, 12, Z, 15, Z, Z, Z, Z);
    const __m128i redB = _mm_setr_epi8(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 2, Z, 5);
    const __m128i greenA = _mm_setr_epi8(1, Z, 4, Z, 7, Z, 10, Z, 13, Z, Z, Z, Z, Z, Z, Z);
    const __m128i greenB = _mm_setr_epi8(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 0, Z, 3, Z, 6, Z);
    const __m128i blueA = _mm_setr_epi8(2, Z, 5, Z, 8, Z, 11, Z, 14, Z, Z, Z, Z, Z, Z, Z);
    const __m128i blueB = _mm_setr_epi8(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 1, Z, 4, Z, 7, Z);
    const __m128i redMask = _mm_set1_epi16(static_cast<short>(0xF800)), greenMask = _mm_set1_epi16(0xFC);
    int32_t k = 0;
    for (; k + STEP_PIXELS <= count; k += STEP_PIXELS) {
        const uint8_t* in = rgb + 3 * k;
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + 16));
        const __m128i red = _mm_or_si128(_mm_shuffle_epi8(a, redA), _mm_shuffle_epi8(b, redB));
        const __m128i green = _mm_or_si128(_mm_shuffle_epi8(a, greenA), _mm_shuffle_epi8(b, greenB));
        const __m128i blue = _mm_or_si128(_mm_shuffle_epi8(a, blueA), _mm_shuffle_epi8(b, blueB));
        const __m128i p =
            _mm_or_si128(_mm_or_si128(_mm_and_si128(red, redMask), _mm_slli_epi16(_mm_and_si128(green, greenMask), 3)),
                         _mm_srli_epi16(blue, 3));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels + k), p);
    }
    rgbTo565(pixels + k, rgb + 3 * k, count - k);
}

}  // namespace

bool widenRgbRowShuffled(uint8_t* rgb, const uint16_t* pixels, int32_t count) {
    if (!hasSsse3()) return false;
    widenShuffled(rgb, pixels, count);
    return true;
}

bool narrowRgbRowShuffled(uint16_t* pixels, const uint8_t* rgb, int32_t count) {
    if (!hasSsse3()) return false;
    narrowShuffled(pixels, rgb, count);
    return true;
}

#else

bool widenRgbRowShuffled(uint8_t*, const uint16_t*, int32_t) { return false; }
bool narrowRgbRowShuffled(uint16_t*, const uint8_t*, int32_t) { return false; }

#endif

#ifdef QVR_WIDE_ROWS
namespace {

bool hasAvx2() {
    static const bool yes = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
    return yes;
}

// RGBA to pixels sixteen at a time, as pixelsFromRgba()'s SSE2 step does
// eight; the lanes pack to 16 bits exactly without saturating. Returns the
// pixels done.
__attribute__((target("avx2"))) int32_t pixelsFromRgbaWide(uint16_t* pixels, const uint8_t* rgba, int32_t count) {
    const __m256i redMask = _mm256_set1_epi32(0xF8), greenMask = _mm256_set1_epi32(0xFC00);
    const __m256i blueMask = _mm256_set1_epi32(0x1F);
    int32_t k = 0;
    for (; k + 2 * STEP_PIXELS <= count; k += 2 * STEP_PIXELS) {
        __m256i halves[2];
        for (int32_t h = 0; h < 2; ++h) {
            const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rgba + 4 * (k + STEP_PIXELS * h)));
            halves[h] = _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi32(_mm256_and_si256(w, redMask), 8),
                                                        _mm256_srli_epi32(_mm256_and_si256(w, greenMask), 5)),
                                        _mm256_and_si256(_mm256_srli_epi32(w, 19), blueMask));
        }
        // Packing works within 128-bit halves: put the quarters back in order.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(halves[0], halves[1]), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(pixels + k), packed);
    }
    return k;
}

// Alpha samples out of RGBA thirty-two at a time, as alphaFromRgba()'s SSE2
// step does sixteen. Returns the samples done.
__attribute__((target("avx2"))) int32_t alphaFromRgbaWide(uint8_t* samples, const uint8_t* alpha, int32_t count) {
    const uint8_t* const words = alpha - (RGBA_STEP - 1);  // each pixel's word, its alpha on top
    // Packing works within 128-bit halves: these put the 32-bit quarters back in order.
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    int32_t k = 0;
    for (; k + 2 * ALPHA_GROUP <= count; k += 2 * ALPHA_GROUP) {
        __m256i lanes[4];
        for (int32_t q = 0; q < 4; ++q)
            lanes[q] = _mm256_srli_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(
                                             words + RGBA_STEP * static_cast<size_t>(k + STEP_PIXELS * q))),
                                         24);
        const __m256i bytes =
            _mm256_packus_epi16(_mm256_packs_epi32(lanes[0], lanes[1]), _mm256_packs_epi32(lanes[2], lanes[3]));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(samples + k), _mm256_permutevar8x32_epi32(bytes, order));
    }
    return k;
}

// Pixels to RGBA sixteen at a time, as widenRgbaRow()'s SSE2 step does
// eight. Returns the pixels done.
using SixteenLanes = uint16_t __attribute__((vector_size(32)));
__attribute__((target("avx2"))) int32_t widenRgbaRowWide(uint8_t* rgba, const uint16_t* pixels, int32_t count) {
    const __m256i opaque = _mm256_set1_epi16(static_cast<short>(0xFF00));
    int32_t k = 0;
    for (; k + 2 * STEP_PIXELS <= count; k += 2 * STEP_PIXELS) {
        const auto p = reinterpret_cast<SixteenLanes>(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels + k)));
        SixteenLanes redGreenLanes, blueLanes;
        widenLanes(p, redGreenLanes, blueLanes);
        const auto redGreen = reinterpret_cast<__m256i>(redGreenLanes);
        const __m256i blueAlpha = _mm256_or_si256(reinterpret_cast<__m256i>(blueLanes), opaque);
        // Interleaving works within 128-bit halves: pixels 0-3 and 8-11, then 4-7 and 12-15.
        const __m256i low = _mm256_unpacklo_epi16(redGreen, blueAlpha);
        const __m256i high = _mm256_unpackhi_epi16(redGreen, blueAlpha);
        uint8_t* out = rgba + 4 * k;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute2x128_si256(low, high, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), _mm256_permute2x128_si256(low, high, 0x31));
    }
    return k;
}

// Alpha samples into RGBA thirty-two at a time, eight a vector, each widened
// to the top byte of its pixel's word. Returns the samples done.
__attribute__((target("avx2"))) int32_t alphaIntoRgbaWide(uint8_t* alpha, const uint8_t* samples, int32_t count) {
    uint8_t* const words = alpha - (RGBA_STEP - 1);
    const __m256i colour = _mm256_set1_epi32(0x00FFFFFF);
    int32_t k = 0;
    for (; k + 2 * ALPHA_GROUP <= count; k += 2 * ALPHA_GROUP) {
        for (int32_t q = 0; q < 4; ++q) {
            const int32_t at = k + STEP_PIXELS * q;
            const __m128i eight = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(samples + at));
            const __m256i alphas = _mm256_slli_epi32(_mm256_cvtepu8_epi32(eight), 24);
            auto* out = reinterpret_cast<__m256i*>(words + RGBA_STEP * static_cast<size_t>(at));
            _mm256_storeu_si256(out, _mm256_or_si256(_mm256_and_si256(_mm256_loadu_si256(out), colour), alphas));
        }
    }
    return k;
}

}  // namespace
#endif

void widenRgbaRow(uint8_t* rgba, const uint16_t* pixels, int32_t count) {
    int32_t k = 0;
#ifdef QVR_WIDE_ROWS
    if (hasAvx2()) k = widenRgbaRowWide(rgba, pixels, count);
#endif
#ifdef QVR_SSE2
    // widenEight()'s lanes, blue paired with an opaque alpha, interleaved.
    const __m128i opaque = _mm_set1_epi16(static_cast<short>(0xFF00));
    for (; k + STEP_PIXELS <= count; k += STEP_PIXELS) {
        const WidenedLanes w = widenEight(pixels + k);
        const __m128i blueAlpha = _mm_or_si128(w.blue, opaque);
        uint8_t* out = rgba + 4 * k;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(w.redGreen, blueAlpha));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi16(w.redGreen, blueAlpha));
    }
#endif
    widenOpaqueRow(rgba + 4 * k, pixels + k, count - k);
}

void pixelsFromRgba(uint16_t* pixels, const uint8_t* rgba, int32_t count) {
    int32_t k = 0;
#ifdef QVR_WIDE_ROWS
    if (hasAvx2()) k = pixelsFromRgbaWide(pixels, rgba, count);
#endif
#ifdef QVR_SSE2
    // Each 32-bit lane narrowed as narrowed() does; the lanes are then packed
    // to 16 bits with signed saturation, which is exact once they are moved
    // into the signed range and back.
    const __m128i redMask = _mm_set1_epi32(0xF8), greenMask = _mm_set1_epi32(0xFC00);
    const __m128i blueMask = _mm_set1_epi32(0x1F), half = _mm_set1_epi32(0x8000);
    const __m128i halfBack = _mm_set1_epi16(static_cast<short>(0x8000));
    for (; k + STEP_PIXELS <= count; k += STEP_PIXELS) {
        __m128i narrowedHalves[2];
        for (int32_t h = 0; h < 2; ++h) {
            const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rgba + 4 * (k + 4 * h)));
            const __m128i p = _mm_or_si128(_mm_or_si128(_mm_slli_epi32(_mm_and_si128(w, redMask), 8),
                                                        _mm_srli_epi32(_mm_and_si128(w, greenMask), 5)),
                                           _mm_and_si128(_mm_srli_epi32(w, 19), blueMask));
            narrowedHalves[h] = _mm_sub_epi32(p, half);
        }
        const __m128i packed = _mm_xor_si128(_mm_packs_epi32(narrowedHalves[0], narrowedHalves[1]), halfBack);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels + k), packed);
    }
#endif
    narrowRgbaRow(pixels + k, rgba + 4 * k, count - k);
}

void alphaIntoRgba(uint8_t* alpha, const uint8_t* samples, int32_t count) {
    int32_t k = 0;
#ifdef QVR_WIDE_ROWS
    if (hasAvx2()) k = alphaIntoRgbaWide(alpha, samples, count);
#endif
#ifdef QVR_SSE2
    // Sixteen samples a step, moved to the top byte of 32-bit lanes and
    // merged into the pixels' words, which start three bytes before.
    uint8_t* const words = alpha - (RGBA_STEP - 1);
    const __m128i zero = _mm_setzero_si128(), colour = _mm_set1_epi32(0x00FFFFFF);
    for (; k + ALPHA_GROUP <= count; k += ALPHA_GROUP) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + k));
        const __m128i low = _mm_unpacklo_epi8(zero, a), high = _mm_unpackhi_epi8(zero, a);
        const __m128i alphas[4] = {_mm_unpacklo_epi16(zero, low), _mm_unpackhi_epi16(zero, low),
                                   _mm_unpacklo_epi16(zero, high), _mm_unpackhi_epi16(zero, high)};
        for (int32_t q = 0; q < 4; ++q) {
            auto* out = reinterpret_cast<__m128i*>(words + RGBA_STEP * static_cast<size_t>(k + 4 * q));
            _mm_storeu_si128(out, _mm_or_si128(_mm_and_si128(_mm_loadu_si128(out), colour), alphas[q]));
        }
    }
#endif
    for (; k < count; ++k) alpha[RGBA_STEP * static_cast<size_t>(k)] = samples[k];
}

void alphaFromRgba(uint8_t* samples, const uint8_t* alpha, int32_t count) {
    int32_t k = 0;
#ifdef QVR_WIDE_ROWS
    if (hasAvx2()) k = alphaFromRgbaWide(samples, alpha, count);
#endif
#ifdef QVR_SSE2
    // Sixteen pixels' words a step, each shifted down to its alpha and
    // packed to bytes (exact: the values stay below 256).
    const uint8_t* const words = alpha - (RGBA_STEP - 1);
    for (; k + ALPHA_GROUP <= count; k += ALPHA_GROUP) {
        __m128i lanes[4];
        for (int32_t q = 0; q < 4; ++q)
            lanes[q] = _mm_srli_epi32(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(words + RGBA_STEP * static_cast<size_t>(k + 4 * q))),
                24);
        const __m128i bytes =
            _mm_packus_epi16(_mm_packs_epi32(lanes[0], lanes[1]), _mm_packs_epi32(lanes[2], lanes[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + k), bytes);
    }
#endif
    for (; k < count; ++k) samples[k] = alpha[RGBA_STEP * static_cast<size_t>(k)];
}

void widenRgbRow(uint8_t* rgb, const uint16_t* pixels, int32_t count) {
    if (!widenRgbRowShuffled(rgb, pixels, count)) rgbFrom565(rgb, pixels, count);
}

void narrowRgbRow(uint16_t* pixels, const uint8_t* rgb, int32_t count) {
    if (!narrowRgbRowShuffled(pixels, rgb, count)) rgbTo565(pixels, rgb, count);
}

}  // namespace qvr
