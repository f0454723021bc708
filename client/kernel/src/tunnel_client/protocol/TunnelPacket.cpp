#include "tunnel_client/protocol/TunnelPacket.h"

#include <cstring>

namespace tunnel {

using kx::core::Binary;

namespace {

Binary header(uint8_t cls, uint8_t kind, uint16_t channel, int32_t size) {
    Binary packet;
    packet.resize(size);  // zero-filled: sequence 0 until the downstream numbers it
    uint8_t* p = packet.data();
    p[0] = cls;
    p[1] = kind;
    // The bare acknowledgement has no channel field.
    if (size >= TunnelPacket::CHANNEL_HEADER_SIZE) TunnelPacket::writeU16(p + 6, channel);
    return packet;
}

}  // namespace

TunnelPacket::TunnelPacket(const uint8_t* data, int32_t length)
    : m_data(data), m_length(data && length > 0 ? length : 0) {}

bool TunnelPacket::openPort(uint16_t* port) const {
    if (m_length < CHANNEL_HEADER_SIZE + 2) return false;
    *port = readU16(m_data + 8);
    return true;
}

bool TunnelPacket::openStatus(uint8_t* status) const {
    if (m_length < CHANNEL_HEADER_SIZE + 1) return false;
    *status = m_data[8];
    return true;
}

bool TunnelPacket::windowGrant(uint32_t* granted) const {
    if (m_length < CHANNEL_HEADER_SIZE + 4) return false;
    *granted = readU32(m_data + 8);
    return true;
}

bool TunnelPacket::payload(const uint8_t** data, int32_t* length) const {
    if (m_length < DATA_HEADER_SIZE) return false;
    int32_t n = readU16(m_data + 8);
    if (n > m_length - DATA_HEADER_SIZE) return false;
    *data = m_data + DATA_HEADER_SIZE;
    *length = n;
    return true;
}

Binary TunnelPacket::buildAck(uint32_t sequence) {
    Binary packet = header(CLASS_ACK, KIND_ACK, 0, HEADER_SIZE);
    writeU32(packet.data() + 2, sequence);
    return packet;
}

Binary TunnelPacket::buildOpen(uint8_t cls, uint16_t channel, uint16_t port) {
    Binary packet = header(cls, KIND_OPEN, channel, CHANNEL_HEADER_SIZE + 2);
    writeU16(packet.data() + 8, port);
    return packet;
}

Binary TunnelPacket::buildOpenResult(uint8_t cls, uint16_t channel, uint8_t status) {
    Binary packet = header(cls, KIND_OPEN_RESULT, channel, CHANNEL_HEADER_SIZE + 1);
    packet.data()[8] = status;
    return packet;
}

Binary TunnelPacket::buildClose(uint8_t cls, uint16_t channel) {
    return header(cls, KIND_CLOSE, channel, CHANNEL_HEADER_SIZE);
}

Binary TunnelPacket::buildWindow(uint8_t cls, uint16_t channel, uint32_t granted) {
    Binary packet = header(cls, KIND_WINDOW, channel, CHANNEL_HEADER_SIZE + 4);
    writeU32(packet.data() + 8, granted);
    return packet;
}

bool TunnelPacket::buildData(Binary* out, uint8_t cls, uint16_t channel, const uint8_t* payload,
                             int32_t length) {
    if (length < 0 || length > MAX_PAYLOAD) return false;
    // Appended rather than resized: no zero-fill of bytes overwritten at once.
    out->clear();
    out->reserve(DATA_HEADER_SIZE + length);
    uint8_t p[DATA_HEADER_SIZE];
    p[0] = cls;
    p[1] = KIND_DATA;
    writeU32(p + 2, 0);
    writeU16(p + 6, channel);
    writeU16(p + 8, static_cast<uint16_t>(length));
    out->append(p, DATA_HEADER_SIZE);
    if (length > 0) out->append(payload, length);
    return true;
}

bool TunnelPacket::writeSequence(Binary& packet, uint32_t sequence) {
    if (packet.length() < HEADER_SIZE) return false;
    writeU32(packet.data() + 2, sequence);
    return true;
}

}  // namespace tunnel
