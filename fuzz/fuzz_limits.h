// The most pixels an input's header may declare for a target to decode it.
// Larger images only take longer: a decode that runs out of data goes on to
// the last row, so every input costs what its header declares. The libFuzzer
// targets take 1024: rows can still be 1024 samples wide, twice the longest
// command (a pair of 516 samples), and narrower images still have rows
// enough to copy from two rows above, at over ten thousand inputs a second.
// The corpus replays of the test suite take what they always took, and
// decode_large_fuzzer the format's largest size, with few inputs.
#pragma once

#include <cstdint>

#if defined(QVR_FUZZ_QUICK)
constexpr uint64_t MAX_FUZZ_PIXELS = 1u << 10;
#elif defined(QVR_FUZZ_LARGE)
constexpr uint64_t MAX_FUZZ_PIXELS = 8191u * 8191u;
#else
constexpr uint64_t MAX_FUZZ_PIXELS = 1u << 18;
#endif
