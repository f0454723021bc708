#pragma once

#include <cstdint>

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"

namespace lab {

// The switch's half of forward payload encryption. A stream's key text is the
// lower-case MD5 hex of the forward key followed by the tunnel id; each
// packet's key is the key16 of that text with byte i XORed with byte i % 4 of
// the packet's sequence number (little-endian), run through 16-cycle TEA.
class PacketCipher {
public:
    // Empty forward key: no encryption, payloads pass unchanged.
    PacketCipher(const kx::core::String& forwardKey, const kx::core::String& tunnelId);

    bool isOn() const { return !m_key.isEmpty(); }
    // With encryption off both copy in to out. Decryption fails (out empty)
    // on a malformed ciphertext.
    bool encrypt(const uint8_t* in, int32_t length, uint32_t sequence, kx::core::Binary* out);
    bool decrypt(const uint8_t* in, int32_t length, uint32_t sequence, kx::core::Binary* out);

private:
    const kx::core::Binary& _packetKey(uint32_t sequence);
    bool _run(bool encrypting, const uint8_t* in, int32_t length, uint32_t sequence,
              kx::core::Binary* out);

    kx::core::Binary m_key;
    kx::core::Binary m_packetKey;
    kx::core::Binary m_in;
};

}  // namespace lab
