#include "tunnel_client/forward/TcpForward.h"

#include "core/src/debug/Assert.h"
#include "tunnel_client/forward/ForwardTunnel.h"
#include "tunnel_client/forward/TcpForwardDataChannel.h"
#include "tunnel_client/forward/TcpForwardStandbyChannel.h"

namespace tunnel {

using kx::net::Socket;
using kx::net::SocketEventSelector;

TcpForward::TcpForward(ForwardTunnel* tunnel, SocketEventSelector* selector,
                       const kx::net::IpAddress& localIp, int clientPort,
                       const kx::core::Array<kx::net::IpAddress>& standbyIps, int standbyPort,
                       const kx::core::String& key)
    : ForwardListener(tunnel, selector, localIp, clientPort, standbyIps, standbyPort, key) {
    m_server.factory = [this](Socket* socket, SocketEventSelector* sel) {
        return _createChannel(socket, sel);
    };
}

TcpForward::~TcpForward() {
    close();
}

std::unique_ptr<kx::net::TcpChannel> TcpForward::_createChannel(Socket* socket,
                                                                SocketEventSelector* selector) {
    socket->setNoDelay(1);
    std::unique_ptr<kx::net::TcpChannel> channel;
    // With standby addresses a connection accepted between two switches takes
    // its direct link as before; without any it waits in the tunnel.
    if (m_tunnel->isUsable() || (m_standbyIps.isEmpty() && m_tunnel->acceptsWithoutStandby())) {
        uint16_t id = m_tunnel->drawChannelId(TunnelPacket::CLASS_TCP);
        if (id == 0) return nullptr;  // every id in use: refuse the connection
        channel.reset(new TcpForwardDataChannel(this, id, socket, selector, m_key));
    } else {
        channel.reset(
            new TcpForwardStandbyChannel(this, m_standbyIps, m_standbyPort, socket, selector));
    }
    channel->setKeepLimits(RECEIVE_KEEP, SEND_KEEP);
    channel->setIdleTimeout(IDLE_TIMEOUT_MS);
    return channel;
}

void TcpForward::close() {
    m_server.close();
    m_draining.clear();
    m_lingering.clear();
}

void TcpForward::onRoom() {
    if (m_channels.isEmpty()) return;
    // Sending never deletes a channel, but walk a copy of the ids anyway.
    m_scratchIds.clear();
    for (const auto& entry : m_channels.all()) {
        if (entry.second->hasPendingOutput()) m_scratchIds.push_back(entry.first);
    }
    for (uint16_t id : m_scratchIds) {
        TcpForwardDataChannel* channel = m_channels.find(id);
        if (channel && !channel->flush()) break;  // the tunnel is full again
    }
}

void TcpForward::tick() {
    for (const auto& entry : m_channels.all()) entry.second->checkLinger();
    for (size_t i = m_draining.size(); i-- > 0;) {
        if (m_draining[i]->hasPendingOutput() && m_tunnel->isAlive()) continue;
        m_draining[i] = std::move(m_draining.back());
        m_draining.pop_back();
    }
    for (size_t i = m_lingering.size(); i-- > 0;) {
        if (m_lingering[i]->isOpen()) continue;
        m_lingering[i] = std::move(m_lingering.back());
        m_lingering.pop_back();
    }
}

bool TcpForward::onData(const TunnelPacket& packet) {
    return m_channels.deliver(packet);
}

void TcpForward::attachChannel(TcpForwardDataChannel* channel) {
    m_channels.attach(channel->channelId(), channel);
}

void TcpForward::detachChannel(TcpForwardDataChannel* channel) {
    m_channels.detach(channel->channelId(), channel);
}

void TcpForward::keepDraining(TcpForwardDataChannel* channel) {
    // The server owns it as a plain channel; ownership passes here with its type.
    std::unique_ptr<kx::net::TcpChannel> owned = m_server.removeChannel(channel);
    if (!owned) return;
    owned.release();
    m_draining.emplace_back(channel);
}

void TcpForward::keepLingering(std::unique_ptr<kx::net::TcpSocketChannel> direct) {
    if (direct && direct->isOpen()) m_lingering.push_back(std::move(direct));
}

}  // namespace tunnel
