#include "core/src/text/Utf8.h"

#include <vector>

namespace kx {
namespace core {

Binary Utf8::encode(const wchar_t* text, int32_t length) {
    Binary out;
    if (!text || length <= 0) return out;
    out.reserve(length);
    uint8_t buf[4];
    for (int32_t i = 0; i < length; ++i) {
        uint32_t c = static_cast<uint32_t>(text[i]);
        int n;
        if (c < 0x80) {
            buf[0] = static_cast<uint8_t>(c);
            n = 1;
        } else if (c < 0x800) {
            buf[0] = static_cast<uint8_t>(0xC0 | (c >> 6));
            buf[1] = static_cast<uint8_t>(0x80 | (c & 0x3F));
            n = 2;
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) return Binary();
            buf[0] = static_cast<uint8_t>(0xE0 | (c >> 12));
            buf[1] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
            buf[2] = static_cast<uint8_t>(0x80 | (c & 0x3F));
            n = 3;
        } else if (c <= 0x10FFFF) {
            buf[0] = static_cast<uint8_t>(0xF0 | (c >> 18));
            buf[1] = static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F));
            buf[2] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
            buf[3] = static_cast<uint8_t>(0x80 | (c & 0x3F));
            n = 4;
        } else {
            return Binary();
        }
        out.append(buf, n);
    }
    return out;
}

String Utf8::decode(const uint8_t* s, size_t length) {
    if (!s || length == 0) return String();
    if (length > 0x7FFFFFF0u) return String();
    std::vector<wchar_t> units;
    units.reserve(length);
    size_t i = 0;
    while (i < length) {
        uint8_t b = s[i];
        uint32_t c;
        size_t n;
        uint32_t min;
        if (b < 0x80) {
            units.push_back(static_cast<wchar_t>(b));
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            n = 1;
            min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            n = 2;
            min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            n = 3;
            min = 0x10000;
        } else {
            return String();
        }
        if (i + n >= length) return String();
        for (size_t k = 1; k <= n; ++k) {
            uint8_t t = s[i + k];
            if ((t & 0xC0) != 0x80) return String();
            c = (c << 6) | (t & 0x3F);
        }
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return String();
        units.push_back(static_cast<wchar_t>(c));
        i += n + 1;
    }
    return String(units.data(), static_cast<int32_t>(units.size()));
}

}  // namespace core
}  // namespace kx
