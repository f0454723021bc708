#pragma once

#include <cstdint>
#include <memory>

#include "core/src/value/String.h"
#include "net/src/socket/SocketAddress.h"
#include "net/src/socket/SocketEventSelector.h"

namespace kx {
namespace net {
class UdpSocketChannel;
}  // namespace net
}  // namespace kx

namespace lab {

// Sends every datagram back to where it came from.
class UdpEchoBackend {
public:
    explicit UdpEchoBackend(kx::net::SocketEventSelector* selector);
    ~UdpEchoBackend();
    UdpEchoBackend(const UdpEchoBackend&) = delete;
    UdpEchoBackend& operator=(const UdpEchoBackend&) = delete;

    bool start(const kx::net::SocketAddress& listen, kx::core::String* error);
    const kx::net::SocketAddress& address() const { return m_address; }
    int64_t datagrams() const { return m_datagrams; }

private:
    kx::net::SocketEventSelector* m_selector;
    std::unique_ptr<kx::net::UdpSocketChannel> m_channel;
    kx::net::SocketAddress m_address;
    int64_t m_datagrams = 0;
};

}  // namespace lab
