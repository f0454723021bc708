#include "tunnel_client/forward/TcpForwardDataChannel.h"

#include <algorithm>

#include "core/src/debug/Assert.h"
#include "tunnel_client/forward/ForwardTunnel.h"
#include "tunnel_client/forward/TcpForward.h"

namespace tunnel {

using kx::core::Binary;

TcpForwardDataChannel::TcpForwardDataChannel(TcpForward* forward, uint16_t channelId,
                                             kx::net::Socket* socket,
                                             kx::net::SocketEventSelector* selector,
                                             const kx::core::String& key)
    : TcpChannel(socket, selector),
      m_forward(forward),
      m_session(tunnelOf(forward), TunnelPacket::CLASS_TCP, channelId,
                ForwardSession::sessionKey(key, forward->tunnel()->tunnelId())) {
    KX_ASSERT(m_forward);
    KX_ASSERT(channelId != 0);
    m_forward->attachChannel(this);
    onReceive = [this](Binary& data) { _onLocalData(data); };
    onSent = [this](int bytes) { _onLocalSent(bytes); };
    onClosed = [this]() { _onLocalClosed(); };
    onInputEnded = [this]() { _onLocalInputEnded(); };
    m_opened = openDataSession(this, &m_session, m_forward->clientPort(), INITIAL_READ);
}

TcpForwardDataChannel::~TcpForwardDataChannel() {
    m_forward->detachChannel(this);
}

void TcpForwardDataChannel::onPacket(const TunnelPacket& packet) {
    int32_t credit = 0;
    switch (m_session.onPacket(packet, &m_plain, &credit)) {
        case ForwardSession::ACTION_ABORT:
            abort();
            break;
        case ForwardSession::ACTION_CLOSE:
            // The switch's side is gone: whatever we still hold has nowhere to go.
            m_held.clear();
            m_heldPos = 0;
            m_deferredCredit = 0;
            closeGracefully();
            break;
        case ForwardSession::ACTION_DELIVER:
            if (m_plain.isEmpty()) break;
            m_awaitingAnswer = false;
            m_lingerTimer.reset();
            send(std::move(m_plain));
            // A large payload was queued as it is; take back the storage of
            // one already written, if any, for the next.
            if (m_plain.capacity() == 0) takeSpareBuffer(&m_plain, MAX_PIECE);
            m_plain.clear();
            break;
        case ForwardSession::ACTION_READ:
            _allowRead(credit);
            break;
        case ForwardSession::ACTION_VIOLATION:
            if (m_violated) break;
            m_violated = true;
            m_forward->tunnel()->warn(kx::core::String(L"[Tunnel] TCP stream ") +
                                      kx::core::String::fromInt32(channelId()) +
                                      L": the switch sent beyond its window, reset");
            abort();
            break;
        default:
            break;
    }
}

void TcpForwardDataChannel::_allowRead(int32_t credit) {
    if (!m_held.isEmpty() || m_localClosed) {
        m_deferredCredit += credit;
        return;
    }
    recv(credit);
}

void TcpForwardDataChannel::_onLocalData(Binary& data) {
    if (!m_opened) return;
    m_awaitingAnswer = true;
    if (!m_held.isEmpty()) {
        m_held.append(data);
        return;
    }
    int32_t length = data.length();
    for (int32_t offset = 0; offset < length;) {
        int32_t piece = std::min(MAX_PIECE, length - offset);
        if (m_session.sendData(data, offset, piece) != ForwardSession::SENT) {
            // No room: keep the rest, in order, until the tunnel has some.
            m_held.append(data.data() + offset, length - offset);
            m_heldPos = 0;
            return;
        }
        offset += piece;
    }
}

bool TcpForwardDataChannel::flush() {
    if (!m_localClosed && !m_session.flushGrant()) return false;
    while (m_heldPos < m_held.length()) {
        int32_t piece = std::min(MAX_PIECE, m_held.length() - m_heldPos);
        if (m_session.sendData(m_held, m_heldPos, piece) != ForwardSession::SENT) return false;
        m_heldPos += piece;
    }
    if (!m_held.isEmpty()) {
        m_held.release();
        m_heldPos = 0;
    }
    if (m_deferredCredit > 0 && !m_localClosed) {
        int64_t credit = m_deferredCredit;
        m_deferredCredit = 0;
        recv(static_cast<int>(std::min<int64_t>(credit, INT32_MAX)));
    }
    if (m_closePending) {
        if (!m_session.sendClose()) return false;
        m_closePending = false;
    }
    return true;
}

void TcpForwardDataChannel::_onLocalInputEnded() {
    if (!m_opened || !m_awaitingAnswer) {
        closeNow();  // nothing is owed to the application: an ordinary close
        return;
    }
    m_deferredCredit = 0;
    m_lingerTimer.start(LINGER_MS);
}

void TcpForwardDataChannel::checkLinger() {
    if (!isInputEnded() || state() != STATE_OPEN) return;
    if (m_lingerTimer.interval() == 0 || !m_lingerTimer.isExpired()) return;
    m_lingerTimer.start(0);
    closeGracefully();  // the close packet follows once the local side is done
}

void TcpForwardDataChannel::_onLocalSent(int bytes) {
    // The bytes still queued tell whether the application keeps up.
    m_session.onDelivered(bytes, pendingSendBytes());
}

void TcpForwardDataChannel::_onLocalClosed() {
    if (!m_opened || m_localClosed) return;
    m_localClosed = true;
    m_deferredCredit = 0;
    ForwardTunnel* tunnel = m_forward->tunnel();
    // A dying tunnel takes every channel with it; nothing left to tell the switch.
    if (!tunnel->isAlive()) return;
    m_closePending = true;
    if (!flush()) m_forward->keepDraining(this);
}

}  // namespace tunnel
