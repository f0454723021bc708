#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "core/src/value/String.h"
#include "net/src/socket/IpAddress.h"

namespace kx {
namespace net {

// IP address and port, the port in host byte order.
class SocketAddress {
public:
    SocketAddress() : ip(), port(0) {}
    SocketAddress(const IpAddress& address, uint16_t portNumber) : ip(address), port(portNumber) {}
    explicit SocketAddress(const sockaddr_in& sa);
    explicit SocketAddress(const sockaddr_in6& sa);

    // The shared 0.0.0.0:0.
    static const SocketAddress& any();
    // A sockaddr of either family; false (out untouched) for any other.
    static bool fromSockaddr(const sockaddr* sa, socklen_t length, SocketAddress* out);
    // "a.b.c.d:port" or "[v6]:port" with a port 0..65535 in plain decimal;
    // false (out untouched) for anything else, a bare IPv6 address included.
    static bool fromText(const core::String& text, SocketAddress* out);

    // Network byte order; returns the length used in out.
    socklen_t toSockaddr(sockaddr_storage* out) const;
    sockaddr_in toSockaddr() const;  // IPv4 form; an IPv6 address gives 0.0.0.0
    core::String toString() const;   // a.b.c.d:port or [v6]:port
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
