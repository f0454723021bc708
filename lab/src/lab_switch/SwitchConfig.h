#pragma once

#include <cstdint>

#include "core/src/value/Any.h"
#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "lab_api/ApiConfig.h"
#include "lab_switch/SwitchFault.h"
#include "net/src/socket/SocketAddress.h"
#include "tunnel_client/protocol/ProtocolWire.h"

namespace lab {

// One switch listener.
struct SwitchConfig {
    kx::core::String name;
    kx::net::SocketAddress listen;  // must be a loopback address (127.0.0.0/8 or ::1)
    kx::core::Array<kx::core::String> accessKeys;  // keys whose login proofs it accepts
    int32_t latency = 20;                          // "latency_query" answer in ms; -1: no NAT ready
    SwitchFault fault = SwitchFault::NONE;
    int32_t slowMs = 1000;                                // answer delay of the "slow" fault
    int32_t heartbeatMs = tunnel::wire::ACK_INTERVAL_MS;  // acknowledgement rhythm
    // Open client connections; one more is closed as soon as it is accepted.
    int32_t maxConnections = 256;
};

// A server that relayed streams and sessions end at: one the lab runs on a
// loopback address, or (the remote kinds) one it only connects to.
struct BackendConfig {
    enum Kind { TCP_ECHO, TCP_SOURCE, TCP_SINK, UDP_ECHO, TCP_REMOTE, UDP_REMOTE };
    // Every kind is one row of this table (SwitchConfig.cpp).
    struct KindInfo {
        Kind kind;
        const wchar_t* name;
        bool udp;     // relayed as UDP sessions rather than TCP streams
        bool remote;  // not served by the lab: "connect" names the address
    };
    kx::core::String name;
    Kind kind = TCP_ECHO;
    // The served address (127.0.0.0/8 or ::1), or where a remote kind connects to.
    kx::net::SocketAddress listen;

    bool isUdp() const { return info(kind).udp; }
    bool isRemote() const { return info(kind).remote; }
    // "tcp_echo", "tcp_source", "tcp_sink", "udp_echo", "tcp_remote",
    // "udp_remote"; false for anything else.
    static bool parseKind(const kx::core::String& text, Kind* out);
    static const wchar_t* kindName(Kind kind);
    static const KindInfo& info(Kind kind);
};

// Where a stream or session opened for (target, client port) goes.
struct RouteConfig {
    int64_t targetId = 0;
    int32_t clientPort = 0;
    kx::core::String backend;  // a BackendConfig name
};

// A lab process: its switches share one tunnel table, and the tunnels they
// carry reach the back ends through the routes.
//
//   {
//     "tick_ms": 50,
//     "admin": "127.0.0.1:19000",
//     "forward_key": "",
//     "switches": [
//       {"name": "a", "listen": "127.0.0.1:7101", "access_keys": ["demo-key"],
//        "latency": 30, "fault": "none", "slow_ms": 1000, "heartbeat_ms": 500}
//     ],
//     "backends": [{"name": "echo", "kind": "tcp_echo", "listen": "127.0.0.1:18101"}],
//     "routes": [{"target_id": 1, "client_port": 18001, "backend": "echo"}]
//   }
struct LabConfig {
    int32_t tickMs = 50;
    kx::core::Array<SwitchConfig> switches;
    kx::core::Array<BackendConfig> backends;
    kx::core::Array<RouteConfig> routes;
    kx::core::String forwardKey;   // empty: payloads travel in plain form
    kx::net::SocketAddress admin;  // port 0: no admin listener
    bool hasAdmin = false;
    ApiConfig api;  // the optional control-API server ("api")

    // False with a reason in *error on invalid JSON, a missing or
    // non-loopback "listen", an unknown fault or kind, a negative delay or a
    // route to a back end that is not configured.
    static bool fromJson(const kx::core::String& text, LabConfig* out, kx::core::String* error);
    static bool switchFromAny(const kx::core::Any& value, SwitchConfig* out,
                              kx::core::String* error);
    // "127.0.0.1:7101" or "[::1]:7101": true only for a loopback address
    // (127.0.0.0/8 or ::1) with a port (0: any free port).
    static bool parseLoopbackAddress(const kx::core::String& text, kx::net::SocketAddress* out);
};

}  // namespace lab
