#pragma once

#include "core/src/value/String.h"
#include "net/src/socket/SocketAddress.h"

namespace tunnel {

// One relay node ("switch") a tunnel client may bind to. The type is the
// control API's text: "bandwidth", "standard" (or empty), "defence", or
// anything else, which is only ever used as a backup.
class Node {
public:
    Node(const kx::net::SocketAddress& address, const kx::core::String& type)
        : m_address(address), m_type(type) {}
    virtual ~Node() = default;

    const kx::net::SocketAddress& address() const { return m_address; }
    const kx::core::String& type() const { return m_type; }

private:
    kx::net::SocketAddress m_address;
    kx::core::String m_type;
};

}  // namespace tunnel
