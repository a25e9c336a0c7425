// Reading the bytes of a stream that lie in memory the compiler sees: a
// cursor and a limit, for the stream types that hold a file's bytes in place
// (the memory reader, the 64-bit module's file block). A byte at or past the
// limit is the stream type's own business: its byteOutside() gives it
// (missing data, a read through the host).
#pragma once

#include <cstdint>

#include "codec/format.h"

namespace qvr {

template <typename Stream>
class BytesInPlace {
public:
    int32_t readByte() {
        if (cursor_ < limit_) return *cursor_++;
        return static_cast<Stream*>(this)->byteOutside();
    }
    int32_t readWord() {
        if (limit_ - cursor_ >= 2) {
            const int32_t word = cursor_[0] | cursor_[1] << 8;
            cursor_ += 2;
            return word;
        }
        const int32_t first = readByte();
        return combineWord(first, readByte());
    }
    // n bytes in place, with `slack` more readable after them; nullptr when
    // fewer remain (the coder then reads them one by one).
    const uint8_t* take(int32_t n, int32_t slack) {
        if (n + slack > limit_ - cursor_) return nullptr;
        const uint8_t* bytes = cursor_;
        cursor_ += n;
        return bytes;
    }

protected:
    const uint8_t* cursor_ = nullptr;  // the next byte
    const uint8_t* limit_ = nullptr;   // the end of the bytes in place
};

}  // namespace qvr
