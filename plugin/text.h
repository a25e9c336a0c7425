// Length-prefixed strings in 256-byte buffers (byte 0 the length, at most 254
// characters, always followed by a zero byte), and the decimal text of numbers
// for the alerts.
#pragma once

#include <cstdint>

constexpr int PSTR_BYTES = 256;
constexpr int PSTR_MAX_CHARS = 254;

void pstrClear(uint8_t* string);
// Appends `count` bytes of `source` from index `start`: start 0 for a
// zero-terminated source, 1 for a length-prefixed one.
void pstrAppend(uint8_t* destination, const uint8_t* source, int16_t start, int16_t count);
void pstrFromLong(int32_t value, uint8_t* destination);
// At most `decimals` fraction digits, at least one; rounds half up.
void pstrFromDecimal(uint8_t* destination, double value, int16_t decimals);
double powerOf(uint32_t base, uint16_t exponent);

// Replaces the markers ^0, ^1 and ^2 of a length-prefixed message with the
// given texts (length-prefixed, or null for none).
void substituteMarkers(uint8_t* message, const uint8_t* text0, const uint8_t* text1, const uint8_t* text2);
