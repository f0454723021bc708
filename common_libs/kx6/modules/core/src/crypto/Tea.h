#pragma once

#include <cstdint>

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"

namespace kx {
namespace core {

// 16-cycle TEA in ECB mode with our padding: the plaintext is padded with
// n = (8 - length % 8) % 8 bytes of '-' and one trailer byte holding n follows
// the ciphertext. Empty input gives empty output both ways. Keys are exactly
// 16 bytes; anything else fails. On failure the output is empty.
class Tea {
public:
    static const int32_t KEY_SIZE = 16;
    static const int32_t BLOCK_SIZE = 8;

    static bool encrypt(const Binary& data, const Binary& key, Binary& out);
    static bool decrypt(const Binary& data, const Binary& key, Binary& out);
    // Same, reusing data's buffer (the packet path).
    static bool encryptInPlace(Binary& data, const Binary& key);
    static bool decryptInPlace(Binary& data, const Binary& key);

    // The 16 ASCII bytes at 8..23 of the lower-case hex MD5 of text's UTF-8.
    static Binary key16(const String& text);
};

}  // namespace core
}  // namespace kx
