#include "tunnel_client/protocol/WireValue.h"

#include <cinttypes>
#include <cstdio>
#include <limits>

namespace tunnel {

using kx::core::Binary;
using kx::core::String;

Binary WireValue::fromInt64(int64_t value) {
    char text[24];
    int n = snprintf(text, sizeof(text), "%" PRId64, value);
    return Binary(text, n);
}

String WireValue::toText(const Binary& value) {
    return String::fromUtf8(value);
}

int64_t WireValue::toInt64(const Binary& value) {
    const uint8_t* p = value.data();
    const uint8_t* end = p + value.length();
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    // Accumulate as a negative number so that INT64_MIN itself fits.
    const int64_t lowest = std::numeric_limits<int64_t>::min();
    int64_t acc = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        int digit = *p - '0';
        if (acc < (lowest + digit) / 10) {
            acc = lowest;
            break;
        }
        acc = acc * 10 - digit;
    }
    if (negative) return acc;
    return acc == lowest ? std::numeric_limits<int64_t>::max() : -acc;
}

int32_t WireValue::toInt32(const Binary& value) {
    int64_t v = toInt64(value);
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

}  // namespace tunnel
