#include "lab_backend/TcpBackend.h"

#include <vector>

#include "lab_backend/BackendChannel.h"
#include "net/src/channel/TcpSocketChannel.h"

namespace lab {

using kx::core::Binary;

TcpBackend::TcpBackend(kx::net::SocketEventSelector* selector, Kind kind)
    : LoopbackTcpServer<TcpBackendConnection>(selector), m_kind(kind) {}

TcpBackend::~TcpBackend() {
    // Channels go before this class's members their callbacks use.
    m_connections.clear();
}

std::unique_ptr<kx::net::TcpSocketChannel> TcpBackend::_newChannel(kx::net::Socket* socket) {
    // An echo answers everything it was sent, also after the peer's FIN.
    return std::unique_ptr<kx::net::TcpSocketChannel>(
        new BackendChannel(socket, m_selector, m_kind == ECHO));
}

void TcpBackend::_onConnection(Connection* c) {
    kx::net::TcpSocketChannel* channel = c->channel.get();
    channel->setIdleTimeout(0);
    switch (m_kind) {
        case ECHO:
            // Read only as fast as the echo drains: a peer that never reads
            // cannot make us hold more than one window.
            channel->onReceive = [this, channel](Binary& data) {
                m_received += data.length();
                channel->send(std::move(data));
                data = Binary();
            };
            channel->onSent = [this, channel](int bytes) {
                m_sent += bytes;
                channel->recv(bytes);
            };
            // The peer's FIN ends the input only: send the rest, then close.
            static_cast<BackendChannel*>(channel)->onPeerShutdown = [channel]() {
                channel->closeGracefully();
            };
            channel->recv(WINDOW);
            break;
        case SINK:
            channel->onReceive = [this, channel](Binary& data) {
                m_received += data.length();
                channel->recv(data.length());
            };
            channel->recv(WINDOW);
            break;
        case SOURCE:
            channel->onReceive = [this, channel](Binary& data) {
                m_received += data.length();
                channel->recv(data.length());
            };
            channel->onSent = [this, c](int bytes) {
                m_sent += bytes;
                _produce(c);
            };
            channel->recv(WINDOW);
            _produce(c);
            break;
    }
}

void TcpBackend::_produce(Connection* connection) {
    kx::net::TcpSocketChannel* channel = connection->channel.get();
    while (!connection->closed && channel->state() == kx::net::TcpSocketChannel::STATE_OPEN &&
           channel->pendingSendBytes() < WINDOW) {
        // The pattern repeats every 65536 bytes: copy from one table built once
        // rather than computing (and bounds-checking) every byte.
        static const std::vector<uint8_t> table = [] {
            std::vector<uint8_t> t(PATTERN_PERIOD + CHUNK);
            for (size_t i = 0; i < t.size(); ++i) t[i] = patternByte(static_cast<int64_t>(i));
            return t;
        }();
        size_t offset = static_cast<size_t>(connection->produced % PATTERN_PERIOD);
        m_chunk.clear();
        m_chunk.append(table.data() + offset, CHUNK);
        connection->produced += CHUNK;
        channel->send(m_chunk);
    }
}

}  // namespace lab
