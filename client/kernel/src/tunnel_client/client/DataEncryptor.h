#pragma once

#include <cstdint>

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"

namespace tunnel {

// Enciphers forward packet payloads. The key16 of the forward's key text is
// varied per packet by a 32-bit value that both ends know (byte i of the key
// XOR byte i % 4 of the value, little-endian), so equal payloads in
// different packets look different on the wire.
class DataEncryptor {
public:
    // An empty key text leaves the encryptor without a key: every operation fails.
    explicit DataEncryptor(const kx::core::String& keyText);
    virtual ~DataEncryptor() = default;

    bool hasKey() const { return !m_key.isEmpty(); }

    // False (out untouched) without a key; empty input gives empty output.
    bool encrypt(kx::core::Binary* out, const kx::core::Binary& in, uint32_t value) const;
    // False without a key (out untouched) or when in is not a valid
    // ciphertext (out emptied).
    bool decrypt(kx::core::Binary* out, const kx::core::Binary& in, uint32_t value) const;

private:
    const kx::core::Binary& _packetKey(uint32_t value) const;

    kx::core::Binary m_key;
    // Scratch for the per-packet key, reused so the data path does not allocate.
    mutable kx::core::Binary m_packetKey;
};

}  // namespace tunnel
