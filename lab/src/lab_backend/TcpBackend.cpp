#include "lab_backend/TcpBackend.h"

#include "lab_backend/LoopbackListener.h"
#include "net/src/channel/TcpSocketAccepter.h"
#include "net/src/channel/TcpSocketChannel.h"

namespace lab {

using kx::core::Binary;
using kx::core::String;

TcpBackend::TcpBackend(kx::net::SocketEventSelector* selector, Kind kind)
    : m_selector(selector), m_kind(kind) {}

TcpBackend::~TcpBackend() {
    m_connections.clear();
    m_accepter.reset();
}

bool TcpBackend::start(const kx::net::SocketAddress& listen, String* error) {
    m_accepter = LoopbackListener::open(
        m_selector, listen, [this](kx::net::Socket* socket) { _onAccept(socket); }, error);
    if (!m_accepter) return false;
    m_address = m_accepter->localAddress();
    return true;
}

void TcpBackend::_onAccept(kx::net::Socket* socket) {
    socket->setNoDelay(1);
    std::unique_ptr<Connection> connection(new Connection);
    connection->channel.reset(new kx::net::TcpSocketChannel(socket, m_selector));
    if (!connection->channel->isOpen()) return;
    Connection* c = connection.get();
    kx::net::TcpSocketChannel* channel = c->channel.get();
    channel->setIdleTimeout(0);
    channel->onClosed = [c]() { c->closed = true; };
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
    m_connections.push_back(std::move(connection));
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

void TcpBackend::tick() {
    for (size_t i = 0; i < m_connections.size();) {
        if (m_connections[i]->closed) {
            m_connections.erase(m_connections.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

}  // namespace lab
