#pragma once

#include <cstdint>

#include "tunnel_client/protocol/ProtocolWire.h"

namespace tunnel {

// The receiving side's account of the window it granted to the peer of one
// stream or session: what the peer may still send. Data beyond it is a
// protocol violation; the receiver must refuse it rather than buffer it,
// since its grants are what bounds its memory.
class FlowWindow {
public:
    explicit FlowWindow(int64_t initial = wire::INITIAL_GRANT) : m_available(initial) {}

    // The peer sent this many payload bytes. False (nothing counted) when
    // they exceed what was granted.
    bool take(int64_t bytes) {
        if (bytes < 0 || bytes > m_available) return false;
        m_available -= bytes;
        return true;
    }
    void grant(int64_t bytes) {
        if (bytes > 0) m_available += bytes;
    }
    int64_t available() const { return m_available; }

private:
    int64_t m_available;
};

}  // namespace tunnel
