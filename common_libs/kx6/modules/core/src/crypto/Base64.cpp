#include "core/src/crypto/Base64.h"

#include <cstdint>

namespace kx {
namespace core {

namespace {
const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(uint32_t c) {
    if (c >= 'A' && c <= 'Z') return static_cast<int>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<int>(c - 'a' + 26);
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0' + 52);
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}
}  // namespace

String Base64::encode(const void* data, size_t length) {
    String out;
    if (!data || length == 0) return out;
    out.reserve(static_cast<int32_t>((length + 2) / 3 * 4));
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t i = 0;
    wchar_t quad[4];
    for (; i + 3 <= length; i += 3) {
        uint32_t v = uint32_t(p[i]) << 16 | uint32_t(p[i + 1]) << 8 | p[i + 2];
        quad[0] = ALPHABET[v >> 18];
        quad[1] = ALPHABET[(v >> 12) & 63];
        quad[2] = ALPHABET[(v >> 6) & 63];
        quad[3] = ALPHABET[v & 63];
        out.append(quad, 4);
    }
    if (i < length) {
        uint32_t v = uint32_t(p[i]) << 16;
        if (i + 1 < length) v |= uint32_t(p[i + 1]) << 8;
        quad[0] = ALPHABET[v >> 18];
        quad[1] = ALPHABET[(v >> 12) & 63];
        quad[2] = i + 1 < length ? ALPHABET[(v >> 6) & 63] : L'=';
        quad[3] = L'=';
        out.append(quad, 4);
    }
    return out;
}

template <typename Ch>
bool Base64::_decode(const Ch* s, size_t length, Binary& out) {
    out.clear();
    if (length == 0) return true;
    if (length % 4 != 0) return false;
    size_t pad = 0;
    if (s[length - 1] == '=') pad = s[length - 2] == '=' ? 2 : 1;
    out.reserve(static_cast<int32_t>(length / 4 * 3));
    for (size_t i = 0; i < length; i += 4) {
        const bool last = i + 4 == length;
        const size_t valid = last ? 4 - pad : 4;
        uint32_t v = 0;
        for (size_t k = 0; k < 4; ++k) {
            int d = 0;
            if (k < valid) {
                d = sextet(static_cast<uint32_t>(s[i + k]));
                if (d < 0) {
                    out.clear();
                    return false;
                }
            }
            v = v << 6 | static_cast<uint32_t>(d);
        }
        uint8_t bytes[3] = {static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                            static_cast<uint8_t>(v)};
        out.append(bytes, static_cast<int32_t>(valid - 1));
    }
    return true;
}

bool Base64::decode(const String& text, Binary& out) {
    return _decode(text.data(), size_t(text.length()), out);
}

bool Base64::decode(const char* text, size_t length, Binary& out) {
    if (!text) length = 0;
    return _decode(text, length, out);
}

}  // namespace core
}  // namespace kx
