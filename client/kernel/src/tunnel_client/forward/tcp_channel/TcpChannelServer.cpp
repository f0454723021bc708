#include "tunnel_client/forward/tcp_channel/TcpChannelServer.h"

namespace kx {
namespace net {

TcpChannelServer::TcpChannelServer(SocketEventSelector* selector, const SocketAddress& local,
                                   int maxChannels)
    : TcpSocketAccepter(selector, local), m_maxChannels(maxChannels) {}

TcpChannelServer::~TcpChannelServer() {
    close();
}

void TcpChannelServer::close() {
    // Move the list out first: a channel's destructor must not see itself in it.
    std::vector<std::unique_ptr<TcpChannel>> channels;
    channels.swap(m_channels);
    channels.clear();
}

std::unique_ptr<TcpChannel> TcpChannelServer::removeChannel(TcpChannel* channel) {
    for (size_t i = 0; i < m_channels.size(); ++i) {
        if (m_channels[i].get() != channel) continue;
        std::unique_ptr<TcpChannel> taken = std::move(m_channels[i]);
        m_channels[i] = std::move(m_channels.back());
        m_channels.pop_back();
        return taken;
    }
    return nullptr;
}

int TcpChannelServer::liveChannelCount() const {
    int live = 0;
    for (const auto& channel : m_channels) live += channel->isValid() ? 1 : 0;
    return live;
}

void TcpChannelServer::_accepted(Socket* socket) {
    if (!factory || liveChannelCount() >= m_maxChannels) return;  // the accepter closes it
    std::unique_ptr<TcpChannel> channel = factory(socket, selector());
    if (channel) m_channels.push_back(std::move(channel));
}

void TcpChannelServer::_sweep() {
    for (size_t i = m_channels.size(); i-- > 0;) {
        if (m_channels[i]->isValid()) continue;
        std::unique_ptr<TcpChannel> dead = std::move(m_channels[i]);
        m_channels[i] = std::move(m_channels.back());
        m_channels.pop_back();
    }
}

void TcpChannelServer::onSocketEvent(int events) {
    if (events == 0) _sweep();
    TcpSocketAccepter::onSocketEvent(events);
}

}  // namespace net
}  // namespace kx
