#pragma once

#include <cstdint>
#include <utility>

#include "core/src/value/Binary.h"

namespace tunnel {

// A sent packet kept until the switch acknowledges it.
class Backup {
public:
    Backup(uint32_t sequence, const kx::core::Binary& packet)
        : m_sequence(sequence), m_packet(packet) {}
    // Takes the packet's storage: the sent packet and its resend copy are one buffer.
    Backup(uint32_t sequence, kx::core::Binary&& packet)
        : m_sequence(sequence), m_packet(std::move(packet)) {}
    Backup(Backup&&) noexcept = default;
    Backup& operator=(Backup&&) noexcept = default;
    virtual ~Backup() = default;

    uint32_t sequence() const { return static_cast<uint32_t>(m_sequence); }
    // When the packet first went to a switch (Clock time); false while it
    // waited for one, so its acknowledgement times no round trip.
    bool sentAt(uint32_t* ms) const {
        if (ms) *ms = m_sentAt;
        return m_timed;
    }
    void setSentAt(uint32_t ms) {
        m_sentAt = ms;
        m_timed = true;
    }
    const kx::core::Binary& packet() const { return m_packet; }
    // Hands the packet's storage over (for reuse), leaving this backup empty.
    void takePacket(kx::core::Binary* into) { into->swap(m_packet); }

private:
    uint64_t m_sequence;
    kx::core::Binary m_packet;
    uint32_t m_sentAt = 0;
    bool m_timed = false;
};

}  // namespace tunnel
