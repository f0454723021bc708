#include "tunnel_client/forward/udp_channel/UdpChannelServer.h"

#include <vector>

#include "core/src/debug/Assert.h"

namespace tunnel {

using kx::net::Socket;
using kx::net::SocketAddress;

UdpChannelServer::UdpChannelServer(kx::net::SocketEventSelector* selector,
                                   const SocketAddress& local, int maxChannels)
    : m_maxChannels(maxChannels) {
    Socket s(Socket::TYPE_UDP, local.ip.family());
    s.setSendBufferSize(SOCKET_BUFFER);
    s.setReceiveBufferSize(SOCKET_BUFFER);
    s.setBlocking(false);
    s.setReuseAddress(1);
    if (!s.bind(local)) s.close();
    m_main.reset(new UdpMainChannel(&s, selector));
    m_localAddress = m_main->localAddress();
    m_main->onReceive = [this](kx::core::Binary& data, const SocketAddress& peer) {
        _onDatagram(data, peer);
    };
    m_main->onSent = [this](int n, const SocketAddress& peer) { _onSent(n, peer); };
    m_main->onTick = [this]() { _sweep(); };
    m_main->recv(kx::net::UdpSocketChannel::MAX_DATAGRAM);
}

UdpChannelServer::~UdpChannelServer() {
    close();
    m_main.reset();
}

SocketAddress UdpChannelServer::localAddress() const {
    return isValid() ? m_localAddress : SocketAddress::any();
}

void UdpChannelServer::close() {
    std::map<SocketAddress, std::unique_ptr<UdpChannel>> channels;
    channels.swap(m_channels);
    channels.clear();
}

UdpChannel* UdpChannelServer::channel(const SocketAddress& peer) const {
    auto it = m_channels.find(peer);
    return it == m_channels.end() ? nullptr : it->second.get();
}

void UdpChannelServer::forEachChannel(const std::function<void(UdpChannel*)>& visit) const {
    for (const auto& entry : m_channels) visit(entry.second.get());
}

void UdpChannelServer::_onDatagram(kx::core::Binary& data, const SocketAddress& peer) {
    m_main->recv(data.length());
    auto it = m_channels.find(peer);
    if (it == m_channels.end()) {
        if (int(m_channels.size()) >= m_maxChannels || !factory) return;
        std::unique_ptr<UdpChannel> created = factory(m_main.get(), peer);
        if (!created) return;
        it = m_channels.emplace(peer, std::move(created)).first;
    }
    UdpChannel* channel = it->second.get();
    KX_ASSERT(channel);
    channel->onDatagram(data);
}

void UdpChannelServer::_onSent(int n, const SocketAddress& peer) {
    auto it = m_channels.find(peer);
    if (it != m_channels.end()) it->second->onDatagramSent(n);
}

void UdpChannelServer::_sweep() {
    // Callbacks run during the walk may add or delete channels: walk a snapshot
    // of the keys and look each one up again.
    std::vector<SocketAddress> keys;
    keys.reserve(m_channels.size());
    for (const auto& entry : m_channels) keys.push_back(entry.first);
    for (const SocketAddress& key : keys) {
        auto it = m_channels.find(key);
        if (it != m_channels.end()) it->second->tick();
    }
    for (auto it = m_channels.begin(); it != m_channels.end();) {
        if (it->second->isAlive()) {
            ++it;
        } else {
            std::unique_ptr<UdpChannel> dead = std::move(it->second);
            it = m_channels.erase(it);
        }
    }
}

}  // namespace tunnel
