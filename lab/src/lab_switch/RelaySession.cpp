#include "lab_switch/RelaySession.h"

#include "lab_switch/TunnelLink.h"
#include "net/src/channel/UdpSocketChannel.h"
#include "net/src/socket/Socket.h"
#include "tunnel_client/protocol/TunnelPacket.h"

namespace lab {

using kx::core::Binary;
using kx::net::SocketAddress;
using tunnel::TunnelPacket;

namespace {

// Receive credit is only a cap on reading; the window decides what travels.
const int RECEIVE_CREDIT = 1 << 30;

}  // namespace

RelaySession::RelaySession(TunnelLink* link, uint16_t id, const SocketAddress& backend,
                           kx::net::SocketEventSelector* selector)
    : m_link(link),
      m_id(id),
      m_backend(backend),
      m_tuner(&link->grantBudget(), &link->roundTrip(), link->maxWindow()) {
    // The session's own end is in the back end's family: on loopback for a
    // back end there, any address for a remote one elsewhere (a loopback
    // source cannot reach another host).
    const kx::net::IpAddress::Family family = backend.ip.family();
    kx::net::IpAddress local = kx::net::IpAddress::any(family);
    if (backend.ip.isLoopback())
        local = family == kx::net::IpAddress::V6 ? kx::net::IpAddress("::1")
                                                 : kx::net::IpAddress(0x7F000001u);
    kx::net::Socket socket(kx::net::Socket::TYPE_UDP, family);
    if (!socket.bind(SocketAddress(local, 0))) {
        m_finished = true;
        m_link->sendOpenResult(TunnelPacket::CLASS_UDP, m_id, false);
        return;
    }
    m_channel.reset(new kx::net::UdpSocketChannel(&socket, selector));
    if (!m_channel->isOpen()) {
        m_finished = true;
        m_link->sendOpenResult(TunnelPacket::CLASS_UDP, m_id, false);
        return;
    }
    m_channel->idleTimer().start(IDLE_TIMEOUT_MS);
    m_channel->onReceive = [this](Binary& data, const SocketAddress& from) {
        _onDatagram(data, from);
    };
    m_channel->onSent = [this](int bytes, const SocketAddress&) { _onSent(bytes); };
    m_channel->onClosed = [this]() { _finish(true); };
    m_channel->recv(RECEIVE_CREDIT);
    m_link->sendOpenResult(TunnelPacket::CLASS_UDP, m_id, true);
    m_link->sendWindow(TunnelPacket::CLASS_UDP, m_id, tunnel::wire::INITIAL_GRANT);
}

RelaySession::~RelaySession() {
    m_channel.reset();
}

void RelaySession::onPacket(const TunnelPacket& packet) {
    if (m_finished) return;
    switch (packet.kind()) {
        case TunnelPacket::KIND_CLOSE:
            _finish(false);
            return;
        case TunnelPacket::KIND_DATA: {
            const uint8_t* data = nullptr;
            int32_t length = 0;
            if (!packet.payload(&data, &length)) return;
            if (!m_link->cipher().decrypt(data, length, packet.sequence(), &m_plain)) {
                _finish(true);
                return;
            }
            // A client beyond its window ignores flow control altogether.
            if (!m_clientWindow.take(m_plain.length())) {
                m_violated = true;
                _finish(true);
                return;
            }
            m_channel->sendTo(std::move(m_plain), m_backend);
            m_plain = Binary();
            return;
        }
        case TunnelPacket::KIND_WINDOW: {
            uint32_t granted = 0;
            if (packet.windowGrant(&granted)) m_window += granted;
            _flush();
            return;
        }
        default:
            return;
    }
}

void RelaySession::_onDatagram(Binary& data, const SocketAddress& from) {
    if (m_finished || from != m_backend) return;
    if (m_channel->receiveCredit() < RECEIVE_CREDIT / 2) m_channel->recv(RECEIVE_CREDIT / 2);
    if (m_waiting.isEmpty() && (data.length() <= m_window || m_link->ignoresWindow())) {
        _forward(data);
        return;
    }
    m_waiting.push(data);
}

bool RelaySession::_forward(Binary& data) {
    if (!m_link->sendData(TunnelPacket::CLASS_UDP, m_id, data.data(), data.length())) {
        ++m_dropped;
        return false;
    }
    m_window -= data.length();
    return true;
}

void RelaySession::_flush() {
    Binary data;
    while (!m_finished && m_waiting.pop(m_window, &data)) _forward(data);
}

void RelaySession::_onSent(int bytes) {
    if (m_finished) return;
    int64_t grant = m_tuner.onDelivered(bytes, 0);
    if (grant <= 0) return;
    m_clientWindow.grant(grant);
    m_link->sendWindow(TunnelPacket::CLASS_UDP, m_id, static_cast<uint32_t>(grant));
}

void RelaySession::tick() {
    if (m_finished || !m_channel) return;
    if (m_channel->idleTimer().isExpired()) _finish(true);
}

void RelaySession::_finish(bool tellClient) {
    if (m_finished) return;
    m_finished = true;
    m_waiting.clear();
    if (tellClient) m_link->sendClose(TunnelPacket::CLASS_UDP, m_id);
}

}  // namespace lab
