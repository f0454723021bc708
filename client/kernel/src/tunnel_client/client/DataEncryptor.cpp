#include "tunnel_client/client/DataEncryptor.h"

#include "core/src/crypto/Tea.h"

namespace tunnel {

using kx::core::Binary;
using kx::core::Tea;

DataEncryptor::DataEncryptor(const kx::core::String& keyText) {
    if (keyText.isEmpty()) return;
    m_key = Tea::key16(keyText);
    m_packetKey.resize(m_key.length());
}

const Binary& DataEncryptor::_packetKey(uint32_t value) const {
    const uint8_t v[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                          uint8_t(value >> 24)};
    for (int32_t i = 0; i < m_key.length(); ++i) m_packetKey.data()[i] = m_key.data()[i] ^ v[i % 4];
    return m_packetKey;
}

bool DataEncryptor::encrypt(Binary* out, const Binary& in, uint32_t value) const {
    if (m_key.length() != Tea::KEY_SIZE || !out) return false;
    return Tea::encrypt(in, _packetKey(value), *out);
}

bool DataEncryptor::decrypt(Binary* out, const Binary& in, uint32_t value) const {
    if (m_key.length() != Tea::KEY_SIZE || !out) return false;
    return Tea::decrypt(in, _packetKey(value), *out);
}

}  // namespace tunnel
