#pragma once

#include <cstdint>

#include "core/src/value/String.h"

namespace tunnel {

// What one target's tunnel looked like at one moment, for status lines and
// the status text handed to applications.
struct TargetStatusSnapshot {
    int64_t targetId = 0;
    kx::core::String switchText;  // masked "a.*.*.d:port", or "none" while unbound
    kx::core::String state;       // "open", "opening", "closed" or "idle"
    int32_t tcpConnections = 0;
    int32_t udpPeers = 0;
    int64_t receivedBytes = 0;  // payload bytes since the client was made
    int64_t sentBytes = 0;
    int64_t receivedRate = 0;  // bytes per second since the previous snapshot
    int64_t sentRate = 0;
    int32_t failovers = 0;  // times the tunnel came up again after it had been up
    kx::core::String lastError;
};

}  // namespace tunnel
