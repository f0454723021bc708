#pragma once

#include <memory>

#include "core/src/value/Array.h"
#include "net/src/channel/TcpSocketChannel.h"
#include "net/src/channel/TcpSocketConnector.h"
#include "net/src/socket/IpAddress.h"
#include "tunnel_client/forward/tcp_channel/TcpChannel.h"

namespace tunnel {

class TcpForward;

// A local connection accepted while no tunnel was usable: relayed straight to
// one of the target's own addresses, tried one at a time in random order.
class TcpForwardStandbyChannel : public kx::net::TcpChannel {
public:
    static constexpr int CONNECT_TIMEOUT_MS = 3000;
    static constexpr int INITIAL_READ = 8192;

    // forward may be null; it only keeps a closing direct link flushing.
    TcpForwardStandbyChannel(TcpForward* forward,
                             const kx::core::Array<kx::net::IpAddress>& standbyIps, int standbyPort,
                             kx::net::Socket* socket, kx::net::SocketEventSelector* selector);
    ~TcpForwardStandbyChannel() override;

    bool isRelaying() const { return m_direct != nullptr; }

private:
    void _connectNext();
    void _onConnected(kx::net::Socket* socket, const kx::net::SocketAddress& address);
    void _onLocalClosed();

    TcpForward* m_forward;
    kx::net::SocketEventSelector* m_selector;
    kx::core::Array<kx::net::IpAddress> m_standbyIps;  // random order; tried from the back
    int m_standbyPort;
    std::unique_ptr<kx::net::TcpSocketConnector> m_connector;
    std::unique_ptr<kx::net::TcpSocketChannel> m_direct;
};

}  // namespace tunnel
