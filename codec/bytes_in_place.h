// Reading the bytes of a stream that lie in memory the compiler sees: a
// cursor and a limit, for the stream types that hold a file's bytes in place
// (the memory reader, the 64-bit module's file block). A byte at or past the
// limit is the stream type's own business: its byteOutside() gives it
// (missing data, a read through the host).
#pragma once

#include <cstdint>

#include "codec/format.h"

namespace qvr {

// n bytes from the cursor, with `slack` more readable after them before the
// limit; nullptr when fewer remain.
inline const uint8_t* takeBytes(const uint8_t*& cursor, const uint8_t* limit, int32_t n, int32_t slack) {
    if (n + slack > limit - cursor) return nullptr;
    const uint8_t* bytes = cursor;
    cursor += n;
    return bytes;
}

// The bytes in place as a plain value, which a row's decoder keeps in
// registers (a stream's own cursor is a member, stored and loaded again at
// every command) and hands back with resume() before it asks the stream for
// anything else. Empty for a stream without bytes in place.
struct BytesView {
    const uint8_t* cursor = nullptr;
    const uint8_t* limit = nullptr;
    const uint8_t* take(int32_t n, int32_t slack) { return takeBytes(cursor, limit, n, slack); }
};

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
    const uint8_t* take(int32_t n, int32_t slack) { return takeBytes(cursor_, limit_, n, slack); }
    BytesView view() const { return {cursor_, limit_}; }
    void resume(const BytesView& bytes) { cursor_ = bytes.cursor; }

protected:
    const uint8_t* cursor_ = nullptr;  // the next byte
    const uint8_t* limit_ = nullptr;   // the end of the bytes in place
};

}  // namespace qvr
