#pragma once

#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "core/src/value/Strings.h"
#include "net/src/url/URL.h"

namespace tunnel {

// Where and how to reach the control API, from the built-in configuration.
struct ApiSettings {
    kx::net::URL url;                               // API base address ("u")
    kx::core::Array<kx::core::Strings> hostGroups;  // raced in order ("h")
    kx::core::String encryptorSpec;                 // body cipher items ("e")
    kx::core::Strings pins;                         // server key pins ("p"); empty: CAs alone
};

}  // namespace tunnel
