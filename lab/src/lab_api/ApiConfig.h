#pragma once

#include <cstdint>

#include "core/src/value/Any.h"
#include "core/src/value/Array.h"
#include "core/src/value/Dictionary.h"
#include "core/src/value/String.h"
#include "lab_api/ApiFault.h"
#include "net/src/socket/SocketAddress.h"

namespace lab {

// The "api" section of a lab file: the control-API server.
//
//   "api": {
//     "listen": "127.0.0.1:7300", "https_listen": "127.0.0.1:7301",
//     "cert_file": "", "key_file": "",          // PEM; empty: a lab CA and a server
//                                               // certificate made at start
//     "tls_dir": "",                            // keeps those made files for later runs
//     "tea": "tea(korvane-lab-api)",            // body cipher; empty: clear bodies
//     "base_path": "", "timestamp_tolerance_s": 300, "clock_skew_s": 0,
//     "access_keys": [], "tokens": [], "revoked": [],
//     "client_ip": "127.0.0.1", "node_types": {"switch-a": "bandwidth"},
//     "targets": [...],                         // verbatim records instead of derived ones
//     "fault": "none", "fault_path": "", "fault_count": 0, "delay_ms": 1000,
//     "head_limit": 16384, "body_limit": 1048576, "client_timeout_ms": 10000,
//     "max_connections": 64
//   }
struct ApiConfig {
    bool enabled = false;
    bool hasListen = false;
    kx::net::SocketAddress listen;  // plain HTTP
    bool hasHttps = false;
    kx::net::SocketAddress httpsListen;
    kx::core::String certFile;  // both or neither
    kx::core::String keyFile;
    kx::core::String tlsDir;  // made certificates are kept (and found again) here

    kx::core::String tea;
    kx::core::String basePath;                     // prefix of "/util", "/account", "/instance"
    int64_t toleranceS = 300;                      // request timestamps further off get 316
    int64_t clockSkewS = 0;                        // the server's clock runs this far ahead
    kx::core::Array<kx::core::String> accessKeys;  // empty: any access id
    kx::core::Array<kx::core::String> tokens;      // accepted from the start
    kx::core::Array<kx::core::String> revoked;     // answered with 101

    kx::core::String clientIp = L"127.0.0.1";
    kx::core::Dictionary<kx::core::String> nodeTypes;  // switch name -> node type
    bool hasTargets = false;
    kx::core::Array<kx::core::Any> targets;

    ApiFault fault = ApiFault::NONE;
    kx::core::String faultPath;  // empty: every path
    int32_t faultCount = 0;      // 0: until changed
    int32_t delayMs = 1000;

    int32_t headLimit = 16384;
    int32_t bodyLimit = 1048576;
    int32_t clientTimeoutMs = 10000;  // a request (or TLS handshake) must complete within it
    int32_t maxConnections = 64;

    // Reads root["api"] when present (enabled then); false with a reason for
    // a non-loopback address, an unknown fault, a lone certificate or key
    // file, or limits out of range.
    static bool fromRoot(const kx::core::Dictionary<kx::core::Any>& root, ApiConfig* out,
                         kx::core::String* error);
    static bool fromAny(const kx::core::Any& value, ApiConfig* out, kx::core::String* error);
};

}  // namespace lab
