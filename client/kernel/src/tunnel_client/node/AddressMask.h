#pragma once

#include "core/src/value/String.h"
#include "net/src/socket/SocketAddress.h"

namespace tunnel {

// How switch and target addresses appear in logs and console lines: the two
// middle octets hidden, "10.20.30.40:443" -> "10.*.*.40:443". An IPv6
// address keeps its first and last group in the same way, everything between
// becomes one "*": "[2001:db8::7:1]:443" -> "[2001:*:1]:443".
class AddressMask {
public:
    static kx::core::String mask(const kx::net::SocketAddress& address);
    // The address alone: "10.*.*.40", "2001:*:1".
    static kx::core::String mask(const kx::net::IpAddress& address);
    // The same rule on any "a.b.c.d:port" or "[v6]:port" text; fewer than four
    // dotted pieces stay as they are.
    static kx::core::String mask(const kx::core::String& text);
};

}  // namespace tunnel
