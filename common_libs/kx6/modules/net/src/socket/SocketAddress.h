#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "core/src/value/String.h"
#include "net/src/socket/IpAddress.h"

namespace kx {
namespace net {

// IPv4 address and port, both in host byte order.
class SocketAddress {
public:
    SocketAddress() : ip(), port(0) {}
    SocketAddress(const IpAddress& address, uint16_t portNumber) : ip(address), port(portNumber) {}
    explicit SocketAddress(const sockaddr_in& sa);

    // The shared 0.0.0.0:0.
    static const SocketAddress& any();

    sockaddr_in toSockaddr() const;  // network byte order
    core::String toString() const;   // a.b.c.d:port
    std::string toStdString() const;
    bool isAny() const { return ip.isAny() && port == 0; }

    bool operator==(const SocketAddress& o) const { return ip == o.ip && port == o.port; }
    bool operator!=(const SocketAddress& o) const { return !(*this == o); }
    bool operator<(const SocketAddress& o) const { return ip != o.ip ? ip < o.ip : port < o.port; }

    IpAddress ip;
    uint16_t port;
};

}  // namespace net
}  // namespace kx
