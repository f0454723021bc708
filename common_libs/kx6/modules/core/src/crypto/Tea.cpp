#include "core/src/crypto/Tea.h"

#include <cstring>

#include "core/src/crypto/Digest.h"

namespace kx {
namespace core {

namespace {
const uint32_t DELTA = 0x9E3779B9u;
const uint32_t DECRYPT_SUM = 0xE3779B90u;  // 16 * DELTA mod 2^32
const int CYCLES = 16;
const uint8_t PAD_BYTE = 0x2D;

struct Key {
    uint32_t k[4];
};

inline uint32_t load32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void store32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

bool loadKey(const Binary& key, Key& out) {
    if (key.length() != Tea::KEY_SIZE) return false;
    for (int i = 0; i < 4; ++i) out.k[i] = load32(key.data() + 4 * i);
    return true;
}

void encipher(uint8_t* p, int32_t length, const Key& key) {
    const uint32_t k0 = key.k[0], k1 = key.k[1], k2 = key.k[2], k3 = key.k[3];
    for (int32_t off = 0; off < length; off += Tea::BLOCK_SIZE) {
        uint32_t y = load32(p + off), z = load32(p + off + 4), sum = 0;
        for (int c = 0; c < CYCLES; ++c) {
            sum += DELTA;
            y += ((z << 4) + k0) ^ (z + sum) ^ ((z >> 5) + k1);
            z += ((y << 4) + k2) ^ (y + sum) ^ ((y >> 5) + k3);
        }
        store32(p + off, y);
        store32(p + off + 4, z);
    }
}

void decipher(uint8_t* p, int32_t length, const Key& key) {
    const uint32_t k0 = key.k[0], k1 = key.k[1], k2 = key.k[2], k3 = key.k[3];
    for (int32_t off = 0; off < length; off += Tea::BLOCK_SIZE) {
        uint32_t y = load32(p + off), z = load32(p + off + 4), sum = DECRYPT_SUM;
        for (int c = 0; c < CYCLES; ++c) {
            z -= ((y << 4) + k2) ^ (y + sum) ^ ((y >> 5) + k3);
            y -= ((z << 4) + k0) ^ (z + sum) ^ ((z >> 5) + k1);
            sum -= DELTA;
        }
        store32(p + off, y);
        store32(p + off + 4, z);
    }
}

int32_t padCount(int32_t length) {
    return (Tea::BLOCK_SIZE - length % Tea::BLOCK_SIZE) % Tea::BLOCK_SIZE;
}
}  // namespace

bool Tea::encryptInPlace(Binary& data, const Binary& key) {
    Key k;
    if (!loadKey(key, k)) {
        data.clear();
        return false;
    }
    const int32_t length = data.length();
    if (length == 0) return true;
    const int32_t pad = padCount(length);
    data.resize(length + pad + 1);
    uint8_t* p = data.data();
    memset(p + length, PAD_BYTE, static_cast<size_t>(pad));
    p[length + pad] = static_cast<uint8_t>(pad);
    encipher(p, length + pad, k);
    return true;
}

bool Tea::decryptInPlace(Binary& data, const Binary& key) {
    Key k;
    const int32_t length = data.length();
    if (!loadKey(key, k)) {
        data.clear();
        return false;
    }
    if (length == 0) return true;
    const int32_t body = length - 1;
    // Read as a signed byte: a "negative" count is as bad as an oversized one.
    const int32_t pad = static_cast<int8_t>(data.data()[body]);
    if (body % BLOCK_SIZE != 0 || pad < 0 || pad > body) {
        data.clear();
        return false;
    }
    decipher(data.data(), body, k);
    data.resize(body - pad);
    return true;
}

bool Tea::encrypt(const Binary& data, const Binary& key, Binary& out) {
    if (&out != &data) {
        out.clear();
        if (key.length() != KEY_SIZE) return false;
        out.reserve(data.length() + BLOCK_SIZE);
        out.append(data);
    }
    return encryptInPlace(out, key);
}

bool Tea::decrypt(const Binary& data, const Binary& key, Binary& out) {
    if (&out != &data) {
        out.clear();
        if (key.length() != KEY_SIZE) return false;
        out.append(data);
    }
    return decryptInPlace(out, key);
}

Binary Tea::key16(const String& text) {
    String hex = Digest::md5Hex(text);
    return hex.substring(8, 16).toUtf8();
}

}  // namespace core
}  // namespace kx
