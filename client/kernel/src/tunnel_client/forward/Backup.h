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
    Backup(Backup&&) noexcept = default;
    Backup& operator=(Backup&&) noexcept = default;
    virtual ~Backup() = default;

    uint32_t sequence() const { return static_cast<uint32_t>(m_sequence); }
    const kx::core::Binary& packet() const { return m_packet; }

private:
    uint64_t m_sequence;
    kx::core::Binary m_packet;
};

}  // namespace tunnel
