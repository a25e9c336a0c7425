// A row's encoded commands written in place through a cursor of their own,
// which the compiler keeps in a register: stores through a stream's member
// would make it reload the cursor after every byte, as a byte store may
// change any object. The stream that hands it out has checked that the
// row's bytes, at most the count announced, fit.
#pragma once

#include <cstdint>

namespace qvr {

struct RowBytes {
    uint8_t* cursor;

    void putByte(int32_t value) { *cursor++ = static_cast<uint8_t>(value); }
    void putWord(int32_t value) {
        cursor[0] = static_cast<uint8_t>(value);
        cursor[1] = static_cast<uint8_t>(value >> 8);
        cursor += 2;
    }
    // n bytes to fill in place; the row's room covers them and the slack.
    uint8_t* place(int32_t n, int32_t) {
        uint8_t* bytes = cursor;
        cursor += n;
        return bytes;
    }
};

}  // namespace qvr
