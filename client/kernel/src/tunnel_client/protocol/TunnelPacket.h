#pragma once

#include <cstdint>

#include "core/src/value/Binary.h"

namespace tunnel {

// Tunnel packet codec, shared by the SDK and the lab switch. All multi-byte
// fields are little-endian:
//   0 class | 1 kind | 2..5 sequence | 6..7 channel id | 8.. kind-specific body
// An acknowledgement is the bare 6-byte header (class 1, kind 1) naming the
// last sequence number received in order.
//
// A TunnelPacket is a parsed view over bytes it does not own; every accessor
// checks the length first, so a short or lying packet never reads past its end.
class TunnelPacket {
public:
    static constexpr uint8_t CLASS_ACK = 1;
    static constexpr uint8_t CLASS_TCP = 2;
    static constexpr uint8_t CLASS_UDP = 3;

    static constexpr uint8_t KIND_ACK = 1;
    static constexpr uint8_t KIND_OPEN = 1;
    static constexpr uint8_t KIND_OPEN_RESULT = 2;
    static constexpr uint8_t KIND_CLOSE = 3;
    static constexpr uint8_t KIND_DATA = 4;
    static constexpr uint8_t KIND_WINDOW = 5;

    static constexpr int32_t HEADER_SIZE = 6;          // class, kind, sequence
    static constexpr int32_t CHANNEL_HEADER_SIZE = 8;  // + channel id
    static constexpr int32_t DATA_HEADER_SIZE = 10;    // + payload length
    static constexpr int32_t MAX_PAYLOAD = 65535;      // the payload length is 16 bits

    TunnelPacket() = default;
    TunnelPacket(const uint8_t* data, int32_t length);
    explicit TunnelPacket(const kx::core::Binary& packet)
        : TunnelPacket(packet.data(), packet.length()) {}

    // At least the 6-byte header is present.
    bool isValid() const { return m_length >= HEADER_SIZE; }
    int32_t length() const { return m_length; }
    uint8_t packetClass() const { return isValid() ? m_data[0] : 0; }
    uint8_t kind() const { return isValid() ? m_data[1] : 0; }
    uint32_t sequence() const { return isValid() ? readU32(m_data + 2) : 0; }
    bool isAck() const { return isValid() && m_data[0] == CLASS_ACK && m_data[1] == KIND_ACK; }
    bool hasChannel() const { return m_length >= CHANNEL_HEADER_SIZE; }
    uint16_t channel() const { return hasChannel() ? readU16(m_data + 6) : 0; }

    // Kind-specific bodies; false when the packet is too short to hold them.
    bool openPort(uint16_t* port) const;
    bool openStatus(uint8_t* status) const;
    bool windowGrant(uint32_t* granted) const;
    // The payload of a data packet, only when all n announced bytes are present.
    bool payload(const uint8_t** data, int32_t* length) const;

    // Builders: the sequence field is left 0 (the downstream layer fills it).
    static kx::core::Binary buildAck(uint32_t sequence);
    static kx::core::Binary buildOpen(uint8_t cls, uint16_t channel, uint16_t port);
    static kx::core::Binary buildOpenResult(uint8_t cls, uint16_t channel, uint8_t status);
    static kx::core::Binary buildClose(uint8_t cls, uint16_t channel);
    static kx::core::Binary buildWindow(uint8_t cls, uint16_t channel, uint32_t granted);
    // Data packet into a reusable buffer; false (out untouched) when length > MAX_PAYLOAD.
    static bool buildData(kx::core::Binary* out, uint8_t cls, uint16_t channel,
                          const uint8_t* payload, int32_t length);

    // Sequence field of a whole packet; false when shorter than the header.
    static bool writeSequence(kx::core::Binary& packet, uint32_t sequence);

    // Sequence numbers wrap at 2^32: a is before b when b lies less than 2^31 ahead.
    static int32_t sequenceDistance(uint32_t from, uint32_t to) {
        return static_cast<int32_t>(to - from);
    }
    static bool sequenceBefore(uint32_t a, uint32_t b) { return sequenceDistance(a, b) > 0; }
    // How many kept packets, counted from the oldest, an acknowledgement of
    // `acked` frees when `nextSend` is the number the next sent packet gets.
    // Only a number in [oldest, nextSend) frees anything (modulo 2^32): the
    // peer names 4294967295 before it received a packet, and a stale or
    // future number must not drop packets the peer may still need.
    static uint32_t acknowledgedCount(uint32_t oldest, uint32_t nextSend, uint32_t acked) {
        uint32_t offset = acked - oldest;
        return offset < nextSend - oldest ? offset + 1 : 0;
    }

    static uint16_t readU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
    static uint32_t readU32(const uint8_t* p) {
        return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
               (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    }
    static void writeU16(uint8_t* p, uint16_t v) {
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
    }
    static void writeU32(uint8_t* p, uint32_t v) {
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
        p[2] = static_cast<uint8_t>(v >> 16);
        p[3] = static_cast<uint8_t>(v >> 24);
    }

private:
    const uint8_t* m_data = nullptr;
    int32_t m_length = 0;
};

}  // namespace tunnel
