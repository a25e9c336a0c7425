// What every binding of the codec's procedures keeps alike, the module's host
// binding and the host-less ones (memory, file, the memory path's line-coder
// streams): the first failure wins, and after it nothing more is read, written
// or handed over; a seek outside the data fails and leaves the position; rows
// handed over are counted per kind. No heap, no exceptions: the module uses it.
#pragma once

#include <cstdint>

#include "codec/stream.h"

namespace qvr {

// The first-failure rule over a binding's failure code, wherever the binding
// keeps it (its own state, or the host's result code). `Code{}` means none.
template <typename Code>
struct FirstFailure {
    Code* code;

    bool failed() const { return *code != Code{}; }
    // Records `failure` unless one stands already; true when it was recorded.
    bool record(Code failure) const {
        if (failed()) return false;
        *code = failure;
        return true;
    }
};

// Where a seek from `origin` asks to go, the position being `position`.
constexpr int64_t seekRequest(int32_t offset, int32_t origin, int64_t position) {
    return (origin == SEEK_FROM_CURRENT ? position : 0) + offset;
}

// True when a seek from a known origin to `target` stays within 0..size (and
// within what a seek can answer).
constexpr bool seekInside(int32_t origin, int64_t target, int64_t size) {
    return (origin == SEEK_FROM_START || origin == SEEK_FROM_CURRENT) && target >= 0 && target <= size &&
           target <= INT32_MAX;
}

// How a host-less binding's transfer failed, first failure only.
enum class StreamFailure {
    None,
    EndOfData,  // a read delivered nothing
    ReadError,
    WriteError,   // includes a full disk and a write that moved fewer bytes than asked
    RowRefused,   // a row transfer that does not fit the image
    SeekOutside,  // a seek to an offset outside the file
};

// The host-less bindings' record of a transfer: its first failure, where the
// seek that failed first asked to go, and the rows handed over per kind.
class BindingState {
public:
    StreamFailure failure() const { return failure_; }
    // The offset asked for by the seek that failed first (SeekOutside).
    int64_t failedSeekTarget() const { return failedSeekTarget_; }
    // Rows handed over successfully, per kind (index, RGB, alpha).
    int32_t rowsMoved(int32_t kind) const {
        const int32_t slot = rowKindIndex(kind);
        return slot < 0 ? 0 : rowsMoved_[slot];
    }

protected:
    bool failed() const { return failure_ != StreamFailure::None; }
    // Records `failure` unless one stands; true when it was recorded.
    bool recordFailure(StreamFailure failure) { return FirstFailure<StreamFailure>{&failure_}.record(failure); }
    // Records SeekOutside for a seek that asked to go to `target`; true when it was the first failure.
    bool recordSeekOutside(int64_t target) {
        if (!recordFailure(StreamFailure::SeekOutside)) return false;
        failedSeekTarget_ = target;
        return true;
    }
    // The target of a seek within data of `size` bytes at `position`, or -1
    // (recorded as SeekOutside when it is the first failure).
    int64_t seekWithin(int32_t offset, int32_t origin, int64_t position, int64_t size) {
        const int64_t target = seekRequest(offset, origin, position);
        if (seekInside(origin, target, size)) return target;
        recordSeekOutside(target);
        return -1;
    }
    // Call for a row of a known kind that was handed over.
    void countRow(int32_t kind) { ++rowsMoved_[rowKindIndex(kind)]; }

private:
    StreamFailure failure_ = StreamFailure::None;
    int64_t failedSeekTarget_ = 0;
    int32_t rowsMoved_[3] = {0, 0, 0};
};

}  // namespace qvr
