#include "net/src/socket/SocketAddress.h"

#include <arpa/inet.h>

#include <cstring>

namespace kx {
namespace net {

SocketAddress::SocketAddress(const sockaddr_in& sa)
    : ip(ntohl(sa.sin_addr.s_addr)), port(ntohs(sa.sin_port)) {}

const SocketAddress& SocketAddress::any() {
    static const SocketAddress value;
    return value;
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
    return ip.toStdString() + ":" + std::to_string(port);
}

core::String SocketAddress::toString() const {
    return core::String::fromUtf8(toStdString());
}

}  // namespace net
}  // namespace kx
