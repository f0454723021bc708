#include "net/src/socket/SocketAddress.h"

#include <arpa/inet.h>

#include <cstring>

namespace kx {
namespace net {

SocketAddress::SocketAddress(const sockaddr_in& sa)
    : ip(ntohl(sa.sin_addr.s_addr)), port(ntohs(sa.sin_port)) {}

SocketAddress::SocketAddress(const sockaddr_in6& sa)
    : ip(IpAddress::fromBytes(sa.sin6_addr.s6_addr, sa.sin6_scope_id)), port(ntohs(sa.sin6_port)) {}

const SocketAddress& SocketAddress::any() {
    static const SocketAddress value;
    return value;
}

bool SocketAddress::fromSockaddr(const sockaddr* sa, socklen_t length, SocketAddress* out) {
    if (!sa || !out) return false;
    if (sa->sa_family == AF_INET && length >= socklen_t(sizeof(sockaddr_in))) {
        *out = SocketAddress(*reinterpret_cast<const sockaddr_in*>(sa));
        return true;
    }
    if (sa->sa_family == AF_INET6 && length >= socklen_t(sizeof(sockaddr_in6))) {
        *out = SocketAddress(*reinterpret_cast<const sockaddr_in6*>(sa));
        return true;
    }
    return false;
}

bool SocketAddress::fromText(const core::String& text, SocketAddress* out) {
    if (!out) return false;
    const std::string s = text.toStdString();
    std::string host;
    size_t portStart;
    if (!s.empty() && s[0] == '[') {
        size_t close = s.find(']');
        if (close == std::string::npos || close + 1 >= s.size() || s[close + 1] != ':') return false;
        host = s.substr(1, close - 1);
        if (host.find(':') == std::string::npos) return false;  // brackets hold IPv6 only
        portStart = close + 2;
    } else {
        size_t colon = s.find(':');
        if (colon == std::string::npos || s.find(':', colon + 1) != std::string::npos) return false;
        host = s.substr(0, colon);
        portStart = colon + 1;
    }
    const std::string digits = s.substr(portStart);
    if (digits.empty() || digits.size() > 5) return false;
    uint32_t port = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        port = port * 10 + uint32_t(c - '0');
    }
    if (port > 65535) return false;
    IpAddress ip = IpAddress::fromText(host.c_str());
    if (ip.isAny() && host != "0.0.0.0" && host != "::") return false;
    *out = SocketAddress(ip, uint16_t(port));
    return true;
}

socklen_t SocketAddress::toSockaddr(sockaddr_storage* out) const {
    std::memset(out, 0, sizeof(*out));
    if (ip.isV6()) {
        sockaddr_in6* sa = reinterpret_cast<sockaddr_in6*>(out);
        sa->sin6_family = AF_INET6;
        std::memcpy(sa->sin6_addr.s6_addr, ip.bytes(), 16);
        sa->sin6_scope_id = ip.scope();
        sa->sin6_port = htons(port);
        return sizeof(sockaddr_in6);
    }
    sockaddr_in* sa = reinterpret_cast<sockaddr_in*>(out);
    sa->sin_family = AF_INET;
    sa->sin_addr.s_addr = htonl(ip.value());
    sa->sin_port = htons(port);
    return sizeof(sockaddr_in);
}

sockaddr_in SocketAddress::toSockaddr() const {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(ip.value());
    sa.sin_port = htons(port);
    return sa;
}

std::string SocketAddress::toStdString() const {
    if (ip.isV6()) return "[" + ip.toStdString() + "]:" + std::to_string(port);
    return ip.toStdString() + ":" + std::to_string(port);
}

core::String SocketAddress::toString() const {
    return core::String::fromUtf8(toStdString());
}

}  // namespace net
}  // namespace kx
