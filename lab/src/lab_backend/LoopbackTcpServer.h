#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/src/value/String.h"
#include "lab_backend/LoopbackListener.h"
#include "net/src/channel/TcpSocketAccepter.h"
#include "net/src/channel/TcpSocketChannel.h"
#include "net/src/socket/Socket.h"
#include "net/src/socket/SocketAddress.h"
#include "net/src/socket/SocketEventSelector.h"

namespace lab {

// A loopback TCP server that keeps one Connection per accepted socket and
// deletes those whose channel closed from its tick, never from a callback.
// Connection needs `std::unique_ptr<kx::net::TcpSocketChannel> channel` and
// `bool closed`; the derived server sets up each new one in _onConnection.
template <class Connection>
class LoopbackTcpServer {
public:
    explicit LoopbackTcpServer(kx::net::SocketEventSelector* selector) : m_selector(selector) {}
    virtual ~LoopbackTcpServer() {
        m_connections.clear();
        m_accepter.reset();
    }
    LoopbackTcpServer(const LoopbackTcpServer&) = delete;
    LoopbackTcpServer& operator=(const LoopbackTcpServer&) = delete;

    // Port 0 picks a free port; false with a reason.
    bool start(const kx::net::SocketAddress& listen, kx::core::String* error) {
        m_accepter = LoopbackListener::open(
            m_selector, listen, [this](kx::net::Socket* socket) { _onAccept(socket); }, error);
        if (!m_accepter) return false;
        m_address = m_accepter->localAddress();
        return true;
    }

    // Deletes closed connections.
    void tick() {
        for (size_t i = 0; i < m_connections.size();) {
            if (m_connections[i]->closed) {
                m_connections.erase(m_connections.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
    }

    const kx::net::SocketAddress& address() const { return m_address; }

protected:
    // Called for every connection whose channel opened; onClosed is taken.
    virtual void _onConnection(Connection* connection) = 0;
    virtual void _prepare(kx::net::Socket* socket) { (void)socket; }
    // The channel over a new connection (a plain TcpSocketChannel by default).
    virtual std::unique_ptr<kx::net::TcpSocketChannel> _newChannel(kx::net::Socket* socket) {
        return std::unique_ptr<kx::net::TcpSocketChannel>(
            new kx::net::TcpSocketChannel(socket, m_selector));
    }

    kx::net::SocketEventSelector* m_selector;
    std::vector<std::unique_ptr<Connection>> m_connections;

private:
    void _onAccept(kx::net::Socket* socket) {
        _prepare(socket);
        std::unique_ptr<Connection> connection(new Connection);
        connection->channel = _newChannel(socket);
        if (!connection->channel->isOpen()) return;
        Connection* c = connection.get();
        c->channel->onClosed = [c]() { c->closed = true; };
        _onConnection(c);
        m_connections.push_back(std::move(connection));
    }

    std::unique_ptr<kx::net::TcpSocketAccepter> m_accepter;
    kx::net::SocketAddress m_address;
};

}  // namespace lab
