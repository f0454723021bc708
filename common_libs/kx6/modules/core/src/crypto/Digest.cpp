#include "core/src/crypto/Digest.h"

#include <mbedtls/md5.h>
#include <mbedtls/sha1.h>
#include <mbedtls/sha256.h>

namespace kx {
namespace core {

namespace {
const unsigned char EMPTY[1] = {0};

// mbedTLS wants a valid pointer even for zero bytes.
const unsigned char* bytes(const void* data, size_t length) {
    return length == 0 || !data ? EMPTY : static_cast<const unsigned char*>(data);
}

int hexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

typedef int (*HashFunction)(const unsigned char* input, size_t length, unsigned char* output);

int sha256Of(const unsigned char* input, size_t length, unsigned char* output) {
    return mbedtls_sha256_ret(input, length, output, 0);
}

Binary hash(HashFunction fn, int32_t size, const void* data, size_t length) {
    Binary out;
    out.resize(size);
    if (!data) length = 0;
    if (fn(bytes(data, length), length, out.data()) != 0) out.clear();
    return out;
}
}  // namespace

Binary Digest::md5(const void* data, size_t length) {
    return hash(&mbedtls_md5_ret, MD5_SIZE, data, length);
}

Binary Digest::sha1(const void* data, size_t length) {
    return hash(&mbedtls_sha1_ret, SHA1_SIZE, data, length);
}

Binary Digest::sha256(const void* data, size_t length) {
    return hash(&sha256Of, SHA256_SIZE, data, length);
}

String Digest::toHex(const void* data, size_t length) {
    static const wchar_t DIGITS[] = L"0123456789abcdef";
    String out;
    if (!data || length == 0) return out;
    out.reserve(static_cast<int32_t>(length * 2));
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < length; ++i) {
        wchar_t pair[2] = {DIGITS[p[i] >> 4], DIGITS[p[i] & 15]};
        out.append(pair, 2);
    }
    return out;
}

bool Digest::fromHex(const String& text, Binary& out) {
    out.clear();
    const int32_t n = text.length();
    if (n % 2 != 0) return false;
    out.resize(n / 2);
    const wchar_t* s = text.data();
    for (int32_t i = 0; i < n; i += 2) {
        int hi = hexValue(s[i]), lo = hexValue(s[i + 1]);
        if (hi < 0 || lo < 0) {
            out.clear();
            return false;
        }
        out.data()[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

}  // namespace core
}  // namespace kx
