#pragma once

#include <cstddef>
#include <cstdint>

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"

namespace kx {
namespace core {

// MD5, SHA-1 and SHA-256. The raw forms return the digest bytes; the Hex forms
// return lower-case hexadecimal text. Text input is hashed as UTF-8.
class Digest {
public:
    static const int32_t MD5_SIZE = 16;
    static const int32_t SHA1_SIZE = 20;
    static const int32_t SHA256_SIZE = 32;

    static Binary md5(const void* data, size_t length);
    static Binary sha1(const void* data, size_t length);
    static Binary sha256(const void* data, size_t length);
    static Binary md5(const Binary& data) { return md5(data.data(), size_t(data.length())); }
    static Binary sha1(const Binary& data) { return sha1(data.data(), size_t(data.length())); }
    static Binary sha256(const Binary& data) { return sha256(data.data(), size_t(data.length())); }

    static String md5Hex(const Binary& data) { return toHex(md5(data)); }
    static String sha1Hex(const Binary& data) { return toHex(sha1(data)); }
    static String sha256Hex(const Binary& data) { return toHex(sha256(data)); }
    static String md5Hex(const String& text) { return md5Hex(text.toUtf8()); }
    static String sha1Hex(const String& text) { return sha1Hex(text.toUtf8()); }
    static String sha256Hex(const String& text) { return sha256Hex(text.toUtf8()); }

    // Two lower-case digits per byte ("%02x").
    static String toHex(const void* data, size_t length);
    static String toHex(const Binary& data) { return toHex(data.data(), size_t(data.length())); }
    // Accepts upper and lower case; false (out empty) on odd length or a non-hex digit.
    static bool fromHex(const String& text, Binary& out);
};

}  // namespace core
}  // namespace kx
