#pragma once

#include <cstdint>

#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "net/src/socket/IpAddress.h"
#include "net/src/socket/SocketAddress.h"

namespace tunnel {

// One relay node of a target, as the record gave it.
struct NodeRecord {
    kx::core::String ipText;
    int32_t port = 0;  // as given; the address holds it cut to 16 bits
    kx::net::SocketAddress address;
    kx::core::String type;
    int32_t latency = 0;  // ms, for the log only
};

// One local port of a forward record with its standby port.
struct ForwardPort {
    int32_t clientPort = 0;
    int32_t standbyPort = 0;
};

// One forward record: a first local port and a number of further ones.
struct ForwardRecord {
    static constexpr int32_t RANGE_LIMIT = 999;
    static constexpr int32_t PORT_LIMIT = 65535;

    kx::core::String protocol;  // ASCII lower-cased
    int32_t clientPort = 0;
    int32_t standbyPort = 0;
    int32_t range = 0;

    // range + 1 ports (range cut to 999, none when negative), each port cut
    // to 65535, so the last ports of a range may repeat 65535.
    kx::core::Array<ForwardPort> ports() const;
};

// One element of a "targets" array.
struct TargetRecord {
    int64_t id = 0;
    kx::core::String clientIpText;  // "127.0.0.1" when absent or empty
    kx::net::IpAddress clientIp;    // 0 when the text is not a dotted quad
    kx::core::Array<kx::net::IpAddress> standbys;
    kx::core::Array<NodeRecord> nodes;
    kx::core::Array<ForwardRecord> forwards;
};

}  // namespace tunnel
