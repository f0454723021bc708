#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/src/value/String.h"
#include "net/src/socket/Socket.h"
#include "net/src/socket/SocketAddress.h"
#include "net/src/socket/SocketEventSelector.h"

namespace kx {
namespace net {
class TcpSocketAccepter;
class TcpSocketChannel;
}  // namespace net
}  // namespace kx

namespace lab {

// A line protocol on a loopback port for steering a running lab: each line
// received is handed to onCommand and its answer goes back as one line.
class AdminServer {
public:
    static constexpr size_t MAX_LINE = 1024;

    std::function<std::string(const std::string&)> onCommand;

    explicit AdminServer(kx::net::SocketEventSelector* selector);
    ~AdminServer();
    AdminServer(const AdminServer&) = delete;
    AdminServer& operator=(const AdminServer&) = delete;

    bool start(const kx::net::SocketAddress& listen, kx::core::String* error);
    void tick();
    const kx::net::SocketAddress& address() const { return m_address; }

private:
    struct Connection {
        std::unique_ptr<kx::net::TcpSocketChannel> channel;
        std::string line;
        bool closed = false;
    };

    void _onAccept(kx::net::Socket* socket);

    kx::net::SocketEventSelector* m_selector;
    std::unique_ptr<kx::net::TcpSocketAccepter> m_accepter;
    kx::net::SocketAddress m_address;
    std::vector<std::unique_ptr<Connection>> m_connections;
};

}  // namespace lab
