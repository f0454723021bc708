#include "lab_network/AdminServer.h"

#include "net/src/channel/TcpSocketChannel.h"

namespace lab {

using kx::core::Binary;

AdminServer::AdminServer(kx::net::SocketEventSelector* selector)
    : LoopbackTcpServer<AdminConnection>(selector) {}

AdminServer::~AdminServer() {
    // Channels go before onCommand, which their callbacks use.
    m_connections.clear();
}

void AdminServer::_onConnection(AdminConnection* c) {
    c->channel->setIdleTimeout(60000);
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
}

}  // namespace lab
