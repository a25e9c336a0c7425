#include "plugin/text.h"

#include <cmath>
#include <cstring>

#include "plugin/win_services.h"

namespace {

constexpr int LTOA_BUFFER_BYTES = 33;
constexpr int PSTR_MAX_LENGTH = 255;

int16_t lengthOf(const uint8_t* string) { return string[0]; }

void appendChar(uint8_t* destination, char c) {
    const uint8_t one = static_cast<uint8_t>(c);
    pstrAppend(destination, &one, 0, 1);
}

const uint8_t* markerText(int digit, const uint8_t* text0, const uint8_t* text1, const uint8_t* text2) {
    return digit == 0 ? text0 : digit == 1 ? text1 : text2;
}

}  // namespace

void pstrClear(uint8_t* string) {
    string[0] = 0;
    string[1] = 0;
}

void pstrAppend(uint8_t* destination, const uint8_t* source, int16_t start, int16_t count) {
    int length = destination[0];
    if (count > 0) {
        const int room = PSTR_MAX_LENGTH - length;
        const int n = count > room ? room : count;
        if (n > 0) std::memmove(destination + 1 + length, source + start, static_cast<size_t>(n));
        length += n > 0 ? n : 0;
    }
    if (length == PSTR_MAX_LENGTH) length = PSTR_MAX_CHARS;
    destination[0] = static_cast<uint8_t>(length);
    destination[length + 1] = 0;
}

void pstrFromLong(int32_t value, uint8_t* destination) {
    pstrClear(destination);
    char digits[LTOA_BUFFER_BYTES] = {0};
    _ltoa(value, digits, 10);
    pstrAppend(destination, reinterpret_cast<const uint8_t*>(digits), 0, static_cast<int16_t>(std::strlen(digits)));
}

double powerOf(uint32_t base, uint16_t exponent) {
    double result = 1.0;
    for (uint16_t k = 0; k < exponent; ++k) result *= base;
    return result;
}

void pstrFromDecimal(uint8_t* destination, double value, int16_t decimals) {
    pstrClear(destination);
    const bool negative = value < 0;
    double magnitude = std::fabs(value);
    int n = decimals;

    const double scaled = magnitude * powerOf(10, static_cast<uint16_t>(n));
    if ((scaled - std::trunc(scaled)) * 10 >= 5) magnitude += 5 / powerOf(10, static_cast<uint16_t>(n + 1));
    if (n > 1) {
        const double shorter = magnitude * powerOf(10, static_cast<uint16_t>(n - 1));
        if ((shorter - std::trunc(shorter)) * 10 < 1) --n;
    }

    const double whole = std::trunc(magnitude);
    uint8_t integer[PSTR_BYTES];
    pstrFromLong(whole >= 2147483647.0 ? INT32_MAX : static_cast<int32_t>(whole), integer);
    if (negative) appendChar(destination, '-');
    pstrAppend(destination, integer, 1, lengthOf(integer));
    appendChar(destination, '.');

    double rest = magnitude - whole;
    int written = 0;
    do {
        rest *= 10;
        const int digit = static_cast<int>(std::trunc(rest));
        appendChar(destination, static_cast<char>('0' + digit));
        rest -= digit;
        ++written;
    } while (rest > 0 && written < n);
}

void substituteMarkers(uint8_t* message, const uint8_t* text0, const uint8_t* text1, const uint8_t* text2) {
    bool afterCaret = false;
    int i = 1;
    while (i <= message[0]) {
        const char c = static_cast<char>(message[i]);
        if (afterCaret && c >= '0' && c <= '2') {
            // Rebuild: the part before the caret, the text, the part after the digit.
            const uint8_t* text = markerText(c - '0', text0, text1, text2);
            uint8_t rebuilt[PSTR_BYTES];
            pstrClear(rebuilt);
            pstrAppend(rebuilt, message, 1, static_cast<int16_t>(i - 2));
            if (text) pstrAppend(rebuilt, text, 1, lengthOf(text));
            pstrAppend(rebuilt, message, static_cast<int16_t>(i + 1), static_cast<int16_t>(message[0] - i));
            std::memcpy(message, rebuilt, PSTR_BYTES);
            afterCaret = false;
            continue;  // scanning goes on where the digit stood
        }
        afterCaret = c == '^';
        ++i;
    }
}
