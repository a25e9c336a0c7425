// The most pixels an input's header may declare for a target to decode it.
// Larger images only take longer. The libFuzzer targets take 4096: rows can
// still be 4096 samples wide, so every command and row buffer is reached, at
// thousands of inputs a second. The corpus replays of the test suite take
// what they always took, and decode_large_fuzzer the format's largest size,
// with few inputs.
#pragma once

#include <cstdint>

#if defined(QVR_FUZZ_QUICK)
constexpr uint64_t MAX_FUZZ_PIXELS = 1u << 12;
#elif defined(QVR_FUZZ_LARGE)
constexpr uint64_t MAX_FUZZ_PIXELS = 8191u * 8191u;
#else
constexpr uint64_t MAX_FUZZ_PIXELS = 1u << 18;
#endif
