#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "net/src/socket/IpAddress.h"
#include "tunnel_client/forward/ForwardListener.h"
#include "tunnel_client/forward/tcp_channel/TcpChannelServer.h"
#include "tunnel_client/protocol/TunnelPacket.h"

namespace tunnel {

class ForwardTunnel;
class TcpForwardDataChannel;

// One local TCP port. Each accepted connection becomes a data channel through
// the tunnel when the tunnel is usable at that moment, else a standby channel
// straight to one of the target's own addresses.
class TcpForward : public ForwardListener<kx::net::TcpChannelServer, TcpForwardDataChannel> {
public:
    static constexpr int IDLE_TIMEOUT_MS = 900000;
    static constexpr int RECEIVE_KEEP = 0;
    static constexpr int SEND_KEEP = 16384;

    TcpForward(ForwardTunnel* tunnel, kx::net::SocketEventSelector* selector,
               const kx::net::IpAddress& localIp, int clientPort,
               const kx::core::Array<kx::net::IpAddress>& standbyIps, int standbyPort,
               const kx::core::String& key);
    ~TcpForward() override;

    int32_t channelCount() const { return m_server.liveChannelCount(); }
    int32_t drainingCount() const { return static_cast<int32_t>(m_draining.size()); }

    // A class 2 packet; true when one of this forward's channels owns its id.
    bool onData(const TunnelPacket& packet);
    // Deletes every channel at once (no close packets); keeps listening.
    void close();
    // The tunnel has room again: channels that held data back send it now.
    void onRoom();
    // Deletes channels and direct links that finished in the background.
    void tick();

    // Data channels register their id for the time they exist.
    void attachChannel(TcpForwardDataChannel* channel);
    void detachChannel(TcpForwardDataChannel* channel);
    // A data channel whose local side closed while part of its stream still
    // waits for room in the tunnel stays alive here until it is all sent.
    void keepDraining(TcpForwardDataChannel* channel);
    // A direct link whose local side closed keeps flushing to the target.
    void keepLingering(std::unique_ptr<kx::net::TcpSocketChannel> direct);

private:
    std::unique_ptr<kx::net::TcpChannel> _createChannel(kx::net::Socket* socket,
                                                        kx::net::SocketEventSelector* selector);

    std::vector<std::unique_ptr<TcpForwardDataChannel>> m_draining;
    std::vector<std::unique_ptr<kx::net::TcpSocketChannel>> m_lingering;
    std::vector<uint16_t> m_scratchIds;
};

}  // namespace tunnel
