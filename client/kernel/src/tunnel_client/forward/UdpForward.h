#pragma once

#include <cstdint>

#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "net/src/socket/IpAddress.h"
#include "tunnel_client/forward/ChannelRegistry.h"
#include "tunnel_client/forward/udp_channel/UdpChannelServer.h"
#include "tunnel_client/protocol/TunnelPacket.h"

namespace tunnel {

class ForwardTunnel;
class UdpForwardDataChannel;

// One local UDP port; each local peer becomes a tunnel session. There is no
// standby path: a datagram from a new peer while the tunnel is not usable is
// dropped.
class UdpForward {
public:
    static constexpr int MAX_CHANNELS = 1024;
    static constexpr int IDLE_TIMEOUT_MS = 120000;

    UdpForward(ForwardTunnel* tunnel, kx::net::SocketEventSelector* selector,
               const kx::net::IpAddress& localIp, int clientPort,
               const kx::core::Array<kx::net::IpAddress>& standbyIps, int standbyPort,
               const kx::core::String& key);
    virtual ~UdpForward();
    UdpForward(const UdpForward&) = delete;
    UdpForward& operator=(const UdpForward&) = delete;

    bool isListening() const { return m_server.isValid(); }
    // The port actually bound (the configured one unless that was 0).
    int clientPort() const { return m_clientPort; }
    ForwardTunnel* tunnel() const { return m_tunnel; }
    int32_t channelCount() const { return m_server.channelCount(); }
    bool hasChannel(uint16_t id) const { return m_channels.has(id); }
    UdpForwardDataChannel* dataChannel(uint16_t id) const { return m_channels.find(id); }

    // A class 3 packet; true when one of this forward's sessions owns its id.
    bool onData(const TunnelPacket& packet);
    // Deletes every session (no close packets); the socket stays bound.
    void close() { m_server.close(); }
    void onRoom() {}
    void tick() {}

    void attachChannel(UdpForwardDataChannel* channel);
    void detachChannel(UdpForwardDataChannel* channel);

private:
    UdpChannel* _createChannel(kx::net::UdpSocketChannel* socketChannel,
                               const kx::net::SocketAddress& peer);

    ForwardTunnel* m_tunnel;
    ChannelRegistry<UdpForwardDataChannel> m_channels;
    UdpChannelServer m_server;
    int m_clientPort;
    kx::core::String m_key;
    kx::core::Array<kx::net::IpAddress> m_standbyIps;  // kept for symmetry; UDP has no standby
    int m_standbyPort;
};

}  // namespace tunnel
