#pragma once

#include <cstdint>

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"
#include "tunnel_client/forward/ForwardSession.h"
#include "tunnel_client/forward/udp_channel/UdpChannel.h"

namespace tunnel {

class UdpForward;

// One local UDP peer carried through the tunnel as a session: each datagram
// is one data packet. Datagrams are lossy by nature, so one the tunnel cannot
// take is dropped, but its read credit is given back so the session never
// starves for grants the switch will not send.
class UdpForwardDataChannel : public UdpChannel {
public:
    static constexpr int32_t INITIAL_READ = 65536;
    static constexpr int32_t MAX_DATAGRAM = 65535;

    UdpForwardDataChannel(kx::net::UdpSocketChannel* socketChannel,
                          const kx::net::SocketAddress& peer, UdpForward* forward,
                          uint16_t sessionId, const kx::core::String& key);
    ~UdpForwardDataChannel() override;

    uint16_t sessionId() const { return m_session.id(); }
    bool isEstablished() const { return m_session.isEstablished(); }

    // A packet from the switch for this session id.
    void onPacket(const TunnelPacket& packet);

private:
    void _onLocalDatagram(kx::core::Binary& datagram);
    void _onLocalClosed();

    UdpForward* m_forward;
    ForwardSession m_session;
    bool m_opened = false;
    // Packets already on their way after a window violation are dropped
    // quietly: a hostile switch must not be able to grow the log.
    bool m_violated = false;
    kx::core::Binary m_plain;
};

}  // namespace tunnel
