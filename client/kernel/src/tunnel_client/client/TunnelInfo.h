#pragma once

#include "core/src/value/String.h"

namespace tunnel {

// The identity of a tunnel on the switch network, as the switch sent it.
// Both empty: no tunnel yet.
struct TunnelInfo {
    kx::core::String natId;
    kx::core::String tunnelId;

    bool isEmpty() const { return natId.isEmpty() && tunnelId.isEmpty(); }
    bool operator==(const TunnelInfo& other) const {
        return natId == other.natId && tunnelId == other.tunnelId;
    }
    bool operator!=(const TunnelInfo& other) const { return !(*this == other); }
};

}  // namespace tunnel
