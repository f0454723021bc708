#include "tunnel_client/forward/UdpForwardDataChannel.h"

#include "core/src/debug/Assert.h"
#include "tunnel_client/forward/ForwardTunnel.h"
#include "tunnel_client/forward/UdpForward.h"

namespace tunnel {

using kx::core::Binary;

UdpForwardDataChannel::UdpForwardDataChannel(kx::net::UdpSocketChannel* socketChannel,
                                             const kx::net::SocketAddress& peer,
                                             UdpForward* forward, uint16_t sessionId,
                                             const kx::core::String& key)
    : UdpChannel(socketChannel, peer),
      m_forward(forward),
      m_session(tunnelOf(forward), TunnelPacket::CLASS_UDP, sessionId,
                ForwardSession::sessionKey(key, forward->tunnel()->tunnelId())) {
    KX_ASSERT(m_forward);
    KX_ASSERT(sessionId != 0);
    m_forward->attachChannel(this);
    onReceive = [this](Binary& datagram) { _onLocalDatagram(datagram); };
    onSent = [this](int bytes) { m_session.onDelivered(bytes); };
    onClosed = [this]() { _onLocalClosed(); };
    m_opened = openDataSession(this, &m_session, m_forward->clientPort(), INITIAL_READ);
}

UdpForwardDataChannel::~UdpForwardDataChannel() {
    m_forward->detachChannel(this);
}

void UdpForwardDataChannel::onPacket(const TunnelPacket& packet) {
    int32_t credit = 0;
    switch (m_session.onPacket(packet, &m_plain, &credit)) {
        case ForwardSession::ACTION_ABORT:
            abort();
            break;
        case ForwardSession::ACTION_CLOSE:
            closeGracefully();
            break;
        case ForwardSession::ACTION_DELIVER:
            if (state() != STATE_OPEN) break;
            send(std::move(m_plain));
            m_plain = Binary();
            break;
        case ForwardSession::ACTION_READ:
            recv(credit);
            break;
        case ForwardSession::ACTION_VIOLATION:
            if (m_violated) break;
            m_violated = true;
            m_forward->tunnel()->warn(kx::core::String(L"[Tunnel] UDP session ") +
                                      kx::core::String::fromInt32(sessionId()) +
                                      L": the switch sent beyond its window, closed");
            abort();
            break;
        default:
            break;
    }
}

void UdpForwardDataChannel::_onLocalDatagram(Binary& datagram) {
    if (!m_opened) return;
    ForwardSession::SendResult result = ForwardSession::TOO_LARGE;
    if (datagram.length() <= MAX_DATAGRAM)
        result = m_session.sendData(datagram, 0, datagram.length());
    // A dropped datagram never reaches the switch, which therefore never
    // grants its bytes back: return its credit here.
    if (result != ForwardSession::SENT) recv(datagram.length());
}

void UdpForwardDataChannel::_onLocalClosed() {
    if (!m_opened) return;
    m_opened = false;
    m_session.sendClose();
}

}  // namespace tunnel
