#pragma once

#include <cstdint>
#include <memory>

#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "net/src/socket/IpAddress.h"
#include "tunnel_client/forward/ForwardListener.h"
#include "tunnel_client/forward/udp_channel/UdpChannelServer.h"
#include "tunnel_client/protocol/TunnelPacket.h"

namespace tunnel {

class ForwardTunnel;
class UdpForwardDataChannel;

// One local UDP port; each local peer becomes a tunnel session. There is no
// standby path: a datagram from a new peer while the tunnel is not usable is
// dropped.
class UdpForward : public ForwardListener<UdpChannelServer, UdpForwardDataChannel> {
public:
    static constexpr int IDLE_TIMEOUT_MS = 120000;

    UdpForward(ForwardTunnel* tunnel, kx::net::SocketEventSelector* selector,
               const kx::net::IpAddress& localIp, int clientPort,
               const kx::core::Array<kx::net::IpAddress>& standbyIps, int standbyPort,
               const kx::core::String& key);
    ~UdpForward() override;

    int32_t channelCount() const { return m_server.channelCount(); }

    // A class 3 packet; true when one of this forward's sessions owns its id.
    bool onData(const TunnelPacket& packet);
    // Deletes every session (no close packets); the socket stays bound.
    void close() { m_server.close(); }
    void onRoom() {}
    void tick() {}

    void attachChannel(UdpForwardDataChannel* channel);
    void detachChannel(UdpForwardDataChannel* channel);

private:
    std::unique_ptr<UdpChannel> _createChannel(kx::net::UdpSocketChannel* socketChannel,
                               const kx::net::SocketAddress& peer);
};

}  // namespace tunnel
