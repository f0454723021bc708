#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/src/value/Binary.h"
#include "lab_backend/LoopbackTcpServer.h"
#include "net/src/channel/TcpSocketChannel.h"
#include "net/src/socket/Socket.h"
#include "net/src/socket/SocketEventSelector.h"

namespace lab {

// One accepted connection of a TcpBackend.
struct TcpBackendConnection {
    std::unique_ptr<kx::net::TcpSocketChannel> channel;
    bool closed = false;
    int64_t produced = 0;  // source: pattern bytes queued so far
};

// A TCP back end on the lab's selector: echo (every byte back, read no
// faster than it is written back), source (an endless, known byte pattern)
// or sink (reads and counts). Memory per connection stays bounded whatever
// the peer does.
class TcpBackend : public LoopbackTcpServer<TcpBackendConnection> {
public:
    enum Kind { ECHO, SOURCE, SINK };
    static constexpr int32_t WINDOW = 65536;

    TcpBackend(kx::net::SocketEventSelector* selector, Kind kind);
    ~TcpBackend() override;

    int32_t connectionCount() const { return static_cast<int32_t>(m_connections.size()); }
    int64_t bytesReceived() const { return m_received; }
    int64_t bytesSent() const { return m_sent; }

    // The source pattern repeats with this period; sources write in chunks.
    static constexpr int32_t PATTERN_PERIOD = 65536;
    static constexpr int32_t CHUNK = 16384;
    // Byte i of every source stream.
    static uint8_t patternByte(int64_t index) {
        return static_cast<uint8_t>((index * 131 + (index >> 8) * 7) & 0xFF);
    }

private:
    using Connection = TcpBackendConnection;

    void _prepare(kx::net::Socket* socket) override { socket->setNoDelay(1); }
    std::unique_ptr<kx::net::TcpSocketChannel> _newChannel(kx::net::Socket* socket) override;
    void _onConnection(Connection* c) override;
    void _produce(Connection* connection);

    Kind m_kind;
    int64_t m_received = 0;
    int64_t m_sent = 0;
    kx::core::Binary m_chunk;
};

}  // namespace lab
