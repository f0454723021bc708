#include "tunnel_client/forward/UdpForward.h"

#include "core/src/debug/Assert.h"
#include "tunnel_client/forward/ForwardTunnel.h"
#include "tunnel_client/forward/UdpForwardDataChannel.h"

namespace tunnel {

using kx::net::SocketAddress;

UdpForward::UdpForward(ForwardTunnel* tunnel, kx::net::SocketEventSelector* selector,
                       const kx::net::IpAddress& localIp, int clientPort,
                       const kx::core::Array<kx::net::IpAddress>& standbyIps, int standbyPort,
                       const kx::core::String& key)
    : ForwardListener(tunnel, selector, localIp, clientPort, standbyIps, standbyPort, key) {
    m_server.factory = [this](kx::net::UdpSocketChannel* socketChannel, const SocketAddress& peer) {
        return _createChannel(socketChannel, peer);
    };
}

UdpForward::~UdpForward() {
    close();
}

std::unique_ptr<UdpChannel> UdpForward::_createChannel(kx::net::UdpSocketChannel* socketChannel,
                                                       const SocketAddress& peer) {
    if (!m_tunnel->acceptsWithoutStandby()) return nullptr;  // UDP has no standby path
    uint16_t id = m_tunnel->drawChannelId(TunnelPacket::CLASS_UDP);
    if (id == 0) return nullptr;
    std::unique_ptr<UdpChannel> channel(
        new UdpForwardDataChannel(socketChannel, peer, this, id, m_key));
    channel->idleTimer().start(IDLE_TIMEOUT_MS);
    return channel;
}

bool UdpForward::onData(const TunnelPacket& packet) {
    return m_channels.deliver(packet);
}

void UdpForward::attachChannel(UdpForwardDataChannel* channel) {
    m_channels.attach(channel->sessionId(), channel);
}

void UdpForward::detachChannel(UdpForwardDataChannel* channel) {
    m_channels.detach(channel->sessionId(), channel);
}

}  // namespace tunnel
