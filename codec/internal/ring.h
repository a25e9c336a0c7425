// The row ring the line coders use for back references. Internal to the codec.
#pragma once

#include <cstdint>
#include <cstring>

#include "codec/format.h"
#include "codec/stream.h"

namespace qvr {

constexpr int32_t RING_SLOTS = 4;  // row r lives in slot r & 3
constexpr int32_t READER_SPARE_SAMPLES = LONGEST_COMMAND_OUTPUT;
// A few spare samples after the last slot let the encoders look a little past
// a row's end with whole-word loads; what they see there is masked out.
constexpr int32_t WRITER_SPARE_SAMPLES = 8;

// Four row slots of 8192 samples; Spare samples after the last slot absorb the
// reader's largest output of one corrupt command, or the writer's look past a
// row's end. One guard sample before slot 0 keeps a
// look one to the left of position 0 inside the ring.
template <typename Sample, int32_t Spare>
struct RowRing {
    Sample samples[1 + RING_SLOTS * ROW_SLOT_SAMPLES + Spare];

    Sample* slot(int32_t row) { return samples + 1 + (row & (RING_SLOTS - 1)) * ROW_SLOT_SAMPLES; }

    // Zeroes what the coders can see of a ring of rows `width` samples wide
    // that look at most `reach` samples past a row's end: each slot's first
    // width + reach samples and the one before them. Small images then pay
    // for little more than their rows.
    void clearFor(int32_t width, int32_t reach) {
        if (width < 0 || width + reach >= ROW_SLOT_SAMPLES) {
            std::memset(samples, 0, sizeof samples);
            return;
        }
        for (int32_t s = 0; s < RING_SLOTS; ++s)
            std::memset(slot(s) - 1, 0, static_cast<size_t>(1 + width + reach) * sizeof(Sample));
    }
};

}  // namespace qvr
