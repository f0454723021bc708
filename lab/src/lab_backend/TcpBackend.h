#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/src/value/Binary.h"
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

// A TCP back end on the lab's selector: echo (every byte back, read no
// faster than it is written back), source (an endless, known byte pattern)
// or sink (reads and counts). Memory per connection stays bounded whatever
// the peer does.
class TcpBackend {
public:
    enum Kind { ECHO, SOURCE, SINK };
    static constexpr int32_t WINDOW = 65536;

    TcpBackend(kx::net::SocketEventSelector* selector, Kind kind);
    ~TcpBackend();
    TcpBackend(const TcpBackend&) = delete;
    TcpBackend& operator=(const TcpBackend&) = delete;

    // Port 0 picks a free port; false with a reason.
    bool start(const kx::net::SocketAddress& listen, kx::core::String* error);
    // Deletes closed connections.
    void tick();

    const kx::net::SocketAddress& address() const { return m_address; }
    int32_t connectionCount() const { return static_cast<int32_t>(m_connections.size()); }
    int64_t bytesReceived() const { return m_received; }
    int64_t bytesSent() const { return m_sent; }

    // Byte i of every source stream.
    static uint8_t patternByte(int64_t index) {
        return static_cast<uint8_t>((index * 131 + (index >> 8) * 7) & 0xFF);
    }

private:
    struct Connection {
        std::unique_ptr<kx::net::TcpSocketChannel> channel;
        bool closed = false;
        int64_t produced = 0;  // source: pattern bytes queued so far
    };

    void _onAccept(kx::net::Socket* socket);
    void _produce(Connection* connection);

    kx::net::SocketEventSelector* m_selector;
    Kind m_kind;
    std::unique_ptr<kx::net::TcpSocketAccepter> m_accepter;
    kx::net::SocketAddress m_address;
    std::vector<std::unique_ptr<Connection>> m_connections;
    int64_t m_received = 0;
    int64_t m_sent = 0;
    kx::core::Binary m_chunk;
};

}  // namespace lab
