#pragma once

#include "core/src/value/String.h"
#include "net/src/socket/SocketAddress.h"

namespace tunnel {

// How switch and target addresses appear in logs and console lines: the two
// middle octets hidden, "10.20.30.40:443" -> "10.*.*.40:443".
class AddressMask {
public:
    static kx::core::String mask(const kx::net::SocketAddress& address);
    // The same rule on any "a.b.c.d:port" text; fewer than four pieces stay as they are.
    static kx::core::String mask(const kx::core::String& text);
};

}  // namespace tunnel
