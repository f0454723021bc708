#include "lab_switch/PacketCipher.h"

#include "core/src/crypto/Digest.h"
#include "core/src/crypto/Tea.h"

namespace lab {

using kx::core::Binary;
using kx::core::Tea;

PacketCipher::PacketCipher(const kx::core::String& forwardKey, const kx::core::String& tunnelId) {
    if (forwardKey.isEmpty()) return;
    m_key = Tea::key16(kx::core::Digest::md5Hex(forwardKey + tunnelId));
    m_packetKey.resize(m_key.length());
}

const Binary& PacketCipher::_packetKey(uint32_t sequence) {
    const uint8_t v[4] = {uint8_t(sequence), uint8_t(sequence >> 8), uint8_t(sequence >> 16),
                          uint8_t(sequence >> 24)};
    for (int32_t i = 0; i < m_key.length(); ++i) m_packetKey[i] = m_key[i] ^ v[i % 4];
    return m_packetKey;
}

bool PacketCipher::encrypt(const uint8_t* in, int32_t length, uint32_t sequence, Binary* out) {
    return _run(true, in, length, sequence, out);
}

bool PacketCipher::decrypt(const uint8_t* in, int32_t length, uint32_t sequence, Binary* out) {
    return _run(false, in, length, sequence, out);
}

bool PacketCipher::_run(bool encrypting, const uint8_t* in, int32_t length, uint32_t sequence,
                        Binary* out) {
    if (!isOn()) {
        out->resize(0);
        out->append(in, length);
        return true;
    }
    m_in.resize(0);
    m_in.append(in, length);
    const Binary& key = _packetKey(sequence);
    return encrypting ? Tea::encrypt(m_in, key, *out) : Tea::decrypt(m_in, key, *out);
}

}  // namespace lab
