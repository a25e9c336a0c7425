// The StreamProcs table as a stream type the line coders are instantiated
// over: every byte is one read() or write() call through the table (two bytes
// for a 16-bit value), every row one putRows() or getRows() call with the ring
// slot or RGB row buffer the table's callers expect. Internal to the codec.
#pragma once

#include <cstring>

#include "codec/bytes_in_place.h"
#include "codec/internal/pixels.h"
#include "codec/stream.h"

namespace qvr {

// Reader primitives: one read() call per byte; -1 when nothing arrived.
inline int32_t readByte(const StreamProcs& procs) {
    uint8_t byte;
    if (procs.read(procs.userData, &byte, 1) <= 0) return -1;
    return byte;
}

inline int32_t readWord(const StreamProcs& procs) {
    const int32_t first = readByte(procs);
    return combineWord(first, readByte(procs));
}

// Output primitives: the value, or -1 when write() moved nothing.
inline int32_t putByte(const StreamProcs& procs, int32_t value) {
    const uint8_t byte = static_cast<uint8_t>(value);
    return procs.write(procs.userData, &byte, 1) > 0 ? value : -1;
}
inline int32_t putWord(const StreamProcs& procs, int32_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    return procs.write(procs.userData, bytes, 2) > 0 ? value : -1;
}

// The stream type. A local copy of the table, which the compiler can keep in
// registers across the calls.
struct CallbackStream {
    StreamProcs procs;

    // Row buffers of the 16-bit plane's pass: the widened pixels of the latest
    // row, never handed out, and the buffer putRows and getRows see.
    struct RgbStage {
        uint8_t widened[RGB_ROW_BYTES];
        uint8_t row[RGB_ROW_BYTES];
    };

    // 8-bit rows go to putRows() in their ring slots, whole slots as far as
    // the receiver can tell: the decoder clears its ring whole for them.
    static constexpr bool HANDS_OUT_RING_ROWS = true;

    int32_t readByte() { return qvr::readByte(procs); }
    int32_t readWord() { return qvr::readWord(procs); }
    // Never a run of bytes in place: every byte is a call of its own.
    const uint8_t* take(int32_t, int32_t) { return nullptr; }
    BytesView view() const { return {}; }
    void resume(const BytesView&) {}
    int32_t read(void* buffer, int32_t count) { return procs.read(procs.userData, buffer, count); }
    int32_t write(const void* buffer, int32_t count) { return procs.write(procs.userData, buffer, count); }
    // A row's commands go out through the stream itself, byte by byte.
    CallbackStream rowOutput(int32_t) const { return *this; }
    void endRow(const CallbackStream&) {}
    uint8_t* place(int32_t, int32_t) { return nullptr; }
    void putByte(int32_t value) { qvr::putByte(procs, value); }
    void putWord(int32_t value) { qvr::putWord(procs, value); }
    int32_t seek(int32_t offset, int32_t origin) { return procs.seek(procs.userData, offset, origin); }
    void progress(int32_t done, int32_t total) { procs.progress(procs.userData, done, total); }

    // 8-bit planes travel in their ring slots.
    void putSlotRow(uint8_t* slot, int32_t kind, int32_t top, int32_t width) {
        procs.putRows(procs.userData, slot, ROW_SLOT_SAMPLES, kind, 0, top, width, 1);
    }
    void getSlotRow(uint8_t* slot, int32_t kind, int32_t top, int32_t width) {
        procs.getRows(procs.userData, slot, ROW_SLOT_SAMPLES, kind, 0, top, width, 1);
    }

    // The decoder's rows are widened in `widened`, where the row above's
    // widened pixels still lie (so unchanged pixels need no work), then
    // handed over in `row`.
    void startRgb(RgbStage& stage) { std::memset(stage.row, 0, sizeof stage.row); }
    void putRgbRow(RgbStage& stage, const uint16_t* pixels, const uint16_t* above, int32_t top, int32_t width) {
        widenChangedGroups(stage.widened, pixels, above, top, width);
        std::memcpy(stage.row, stage.widened, 3 * static_cast<size_t>(width));
        procs.putRows(procs.userData, stage.row, RGB_ROW_BYTES, ROW_KIND_RGB, 0, top, width, 1);
    }
    // The encoder's RGB rows; a row the host failed to fill keeps what was there.
    void getRgbRow(RgbStage& stage, uint16_t* pixels, int32_t top, int32_t width) {
        procs.getRows(procs.userData, stage.row, RGB_ROW_BYTES, ROW_KIND_RGB, 0, top, width, 1);
        rgbTo565(pixels, stage.row, width);
    }
};

}  // namespace qvr
