#include "lab_network/AdminServer.h"

#include "lab_backend/LoopbackListener.h"
#include "net/src/channel/TcpSocketAccepter.h"
#include "net/src/channel/TcpSocketChannel.h"

namespace lab {

using kx::core::Binary;

AdminServer::AdminServer(kx::net::SocketEventSelector* selector) : m_selector(selector) {}

AdminServer::~AdminServer() {
    m_connections.clear();
    m_accepter.reset();
}

bool AdminServer::start(const kx::net::SocketAddress& listen, kx::core::String* error) {
    m_accepter = LoopbackListener::open(
        m_selector, listen, [this](kx::net::Socket* socket) { _onAccept(socket); }, error);
    if (!m_accepter) return false;
    m_address = m_accepter->localAddress();
    return true;
}

void AdminServer::_onAccept(kx::net::Socket* socket) {
    std::unique_ptr<Connection> connection(new Connection);
    connection->channel.reset(new kx::net::TcpSocketChannel(socket, m_selector));
    if (!connection->channel->isOpen()) return;
    Connection* c = connection.get();
    c->channel->setIdleTimeout(60000);
    c->channel->onClosed = [c]() { c->closed = true; };
    c->channel->onReceive = [this, c](Binary& data) {
        for (int32_t i = 0; i < data.length() && !c->closed; ++i) {
            char ch = static_cast<char>(data[i]);
            if (ch == '\r') continue;
            if (ch != '\n') {
                if (c->line.size() < MAX_LINE) c->line += ch;
                continue;
            }
            std::string answer = onCommand ? onCommand(c->line) : std::string("error no handler");
            c->line.clear();
            c->channel->send(Binary::fromStdString(answer + "\n"));
        }
        c->channel->recv(data.length());
    };
    c->channel->recv(4096);
    m_connections.push_back(std::move(connection));
}

void AdminServer::tick() {
    for (size_t i = 0; i < m_connections.size();) {
        if (m_connections[i]->closed) {
            m_connections.erase(m_connections.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

}  // namespace lab
