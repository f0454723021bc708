#include "lab_backend/TcpBackend.h"

#include "net/src/channel/TcpSocketChannel.h"

namespace lab {

using kx::core::Binary;

TcpBackend::TcpBackend(kx::net::SocketEventSelector* selector, Kind kind)
    : LoopbackTcpServer<TcpBackendConnection>(selector), m_kind(kind) {}

TcpBackend::~TcpBackend() {
    // Channels go before this class's members their callbacks use.
    m_connections.clear();
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
        m_chunk.resize(16384);
        for (int32_t i = 0; i < m_chunk.length(); ++i)
            m_chunk[i] = patternByte(connection->produced + i);
        connection->produced += m_chunk.length();
        channel->send(m_chunk);
    }
}

}  // namespace lab
