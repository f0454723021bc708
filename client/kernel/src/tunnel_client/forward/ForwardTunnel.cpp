#include "tunnel_client/forward/ForwardTunnel.h"

#include "tunnel_client/forward/TcpForward.h"
#include "tunnel_client/forward/TcpForwardManager.h"
#include "tunnel_client/forward/UdpForward.h"
#include "tunnel_client/forward/UdpForwardManager.h"
#include "tunnel_client/protocol/TunnelPacket.h"
#include "util/src/log/ILogRecorder.h"

namespace tunnel {

using kx::core::Binary;

ForwardTunnel::ForwardTunnel(kx::net::SocketEventSelector* selector,
                             const kx::net::IpAddress& localIp,
                             const kx::core::Array<kx::net::IpAddress>& standbyIps,
                             const kx::core::String& key, int32_t backupCapacity)
    : DownstreamTunnel(backupCapacity),
      m_selector(selector),
      m_tcp(new TcpForwardManager(selector, this, localIp, standbyIps, key)),
      m_udp(new UdpForwardManager(selector, this, localIp, standbyIps, key)),
      m_random(std::random_device()()) {}

ForwardTunnel::~ForwardTunnel() {
    // Forwards and their channels point into this tunnel: drop them before its base goes.
    m_udp.reset();
    m_tcp.reset();
}

bool ForwardTunnel::open(const kx::core::String& tunnelId) {
    if (!DownstreamTunnel::open()) return false;
    m_tunnelId = tunnelId;
    return true;
}

void ForwardTunnel::close() {
    if (!isOpen()) return;
    kx::core::Array<UdpForward*> udp = m_udp->forwards();
    kx::core::Array<TcpForward*> tcp = m_tcp->forwards();
    for (UdpForward* forward : udp) forward->close();
    for (TcpForward* forward : tcp) forward->close();
    DownstreamTunnel::close();
    m_tunnelId.clear();
}

void ForwardTunnel::warn(const kx::core::String& text) const {
    if (m_logger) m_logger->warn(text);
}

int32_t ForwardTunnel::connectionCount() const {
    return m_tcp->connectionCount() + m_udp->connectionCount();
}

bool ForwardTunnel::isChannelIdUsed(uint8_t packetClass, uint16_t id) const {
    if (packetClass == TunnelPacket::CLASS_TCP) return m_tcp->isChannelIdUsed(id);
    if (packetClass == TunnelPacket::CLASS_UDP) return m_udp->isChannelIdUsed(id);
    return false;
}

uint16_t ForwardTunnel::drawChannelId(uint8_t packetClass) {
    std::uniform_int_distribution<int> draw(1, 65535);
    for (int attempt = 0; attempt < 64; ++attempt) {
        uint16_t id = static_cast<uint16_t>(draw(m_random));
        if (!isChannelIdUsed(packetClass, id)) return id;
    }
    // Crowded id space: take the first free one rather than drawing for ever.
    for (int id = 1; id <= 65535; ++id) {
        if (!isChannelIdUsed(packetClass, static_cast<uint16_t>(id)))
            return static_cast<uint16_t>(id);
    }
    return 0;
}

void ForwardTunnel::onData(const Binary& packet) {
    TunnelPacket view(packet);
    if (!view.isValid()) return;
    switch (view.packetClass()) {
        case TunnelPacket::CLASS_TCP:
            m_tcp->onData(view);
            break;
        case TunnelPacket::CLASS_UDP:
            m_udp->onData(view);
            break;
        default:
            break;
    }
}

void ForwardTunnel::onRoom() {
    m_tcp->onRoom();
}

void ForwardTunnel::onTick() {
    m_tcp->tick();
}

}  // namespace tunnel
