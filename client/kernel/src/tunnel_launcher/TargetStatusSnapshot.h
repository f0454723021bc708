#pragma once

#include <cstdint>

#include "core/src/value/String.h"
#include "tunnel_client/client/FailureKind.h"

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
    int64_t receivedPackets = 0;  // tunnel packets since the client was made
    int64_t sentPackets = 0;
    int64_t receivedRate = 0;  // bytes per second since the previous snapshot
    int64_t sentRate = 0;
    int32_t failovers = 0;  // times the tunnel came up again after it had been up
    int32_t latencyMs = -1;  // the bound switch's latency when it was chosen; -1 unknown
    int64_t failures[FAILURE_KIND_COUNT] = {};  // by FailureKind, since the client was made
    kx::core::String lastError;
};

}  // namespace tunnel
