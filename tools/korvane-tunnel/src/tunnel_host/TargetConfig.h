#pragma once

#include "core/src/value/Any.h"
#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "tunnel_client/client/LoginInfo.h"
#include "tunnel_launcher/TargetRecord.h"

namespace tunnel {

// The host program's file: the login texts, the fast-tick switch and target
// records in the control API's shape, read with the same lenient conversions
// as the API's own target list, so one file can point at any switch.
//
//   {"access_key": "...", "token": "...", "version": "1.0.0",
//    "fast_tick_enabled": false, "targets": [{"id": 1, "client_ip": "127.0.0.1",
//      "standbys": [{"ip": "..."}], "nodes": [{"ip": "...", "port": 1, "type": "standard"}],
//      "forwards": [{"protocol": "tcp", "client_port": 1, "standby_port": 1, "range": 0}]}]}
class TargetConfig {
public:
    kx::core::String accessKey;
    kx::core::String token;
    kx::core::String version;
    bool fastTick = false;
    kx::core::Array<TargetRecord> targets;  // object elements only, in file order

    LoginInfo loginInfo() const;

    // False with a reason when the text is not a JSON object. Keys of the
    // wrong type never fail; they convert or read as absent.
    static bool fromJson(const kx::core::String& text, TargetConfig* out, kx::core::String* error);
    static bool load(const kx::core::String& path, TargetConfig* out, kx::core::String* error);
};

}  // namespace tunnel
