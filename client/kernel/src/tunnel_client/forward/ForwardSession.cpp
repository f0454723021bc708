#include "tunnel_client/forward/ForwardSession.h"

#include "core/src/crypto/Digest.h"
#include "core/src/debug/Assert.h"
#include "tunnel_client/forward/DownstreamTunnel.h"

namespace tunnel {

using kx::core::Binary;
using kx::core::String;

ForwardSession::ForwardSession(DownstreamTunnel* tunnel, uint8_t packetClass, uint16_t id,
                               const String& sessionKey)
    : m_tunnel(tunnel),
      m_class(packetClass),
      m_id(id),
      m_encryptor(sessionKey),
      m_encrypted(!sessionKey.isEmpty()),
      m_tuner(tunnel ? &tunnel->grantBudget() : nullptr, tunnel ? &tunnel->roundTrip() : nullptr) {
    KX_ASSERT(m_tunnel);
}

String ForwardSession::sessionKey(const String& forwardKey, const String& tunnelId) {
    if (forwardKey.isEmpty()) return String();
    return kx::core::Digest::md5Hex(forwardKey + tunnelId);
}

bool ForwardSession::open(uint16_t port, int64_t debt) {
    Binary packet = TunnelPacket::buildOpen(m_class, m_id, port);
    if (!m_tunnel->send(packet)) return false;
    m_debt = debt;
    if (!_sendWindow(INITIAL_GRANT)) m_pendingGrant += INITIAL_GRANT;
    return true;
}

ForwardSession::SendResult ForwardSession::sendData(const Binary& data, int32_t offset,
                                                    int32_t length) {
    const uint8_t* payload = data.data() + offset;
    int32_t payloadLength = length;
    if (m_encrypted) {
        bool ok;
        if (offset == 0 && length == data.length()) {
            ok = m_encryptor.encrypt(&m_cipher, data, m_tunnel->nextSendSequence());
        } else {
            Binary piece(payload, length);
            ok = m_encryptor.encrypt(&m_cipher, piece, m_tunnel->nextSendSequence());
        }
        if (!ok) KX_ASSERT(!"Bad encryption!");
        payload = m_cipher.data();
        payloadLength = m_cipher.length();
    }
    if (!TunnelPacket::buildData(&m_packet, m_class, m_id, payload, payloadLength))
        return TOO_LARGE;
    return m_tunnel->send(m_packet) ? SENT : REFUSED;
}

bool ForwardSession::sendClose() {
    Binary packet = TunnelPacket::buildClose(m_class, m_id);
    return m_tunnel->send(packet);
}

void ForwardSession::onDelivered(int32_t bytes, int64_t backlog) {
    int64_t grant = m_tuner.onDelivered(bytes, backlog);
    if (grant <= 0) return;
    m_pendingGrant += grant;
    flushGrant();
}

bool ForwardSession::flushGrant() {
    if (m_pendingGrant <= 0) return true;
    // The window field is 32 bits: a larger debt goes out in several grants.
    const int64_t maxGrant = UINT32_MAX;
    uint32_t grant = m_pendingGrant > maxGrant ? UINT32_MAX : static_cast<uint32_t>(m_pendingGrant);
    if (!_sendWindow(grant)) return false;
    m_pendingGrant -= grant;
    return m_pendingGrant <= 0;
}

int32_t ForwardSession::applyWindow(uint32_t granted) {
    int64_t w = granted;
    if (m_debt <= w) {
        int64_t credit = w - m_debt;
        m_debt = 0;
        return credit > INT32_MAX ? INT32_MAX : static_cast<int32_t>(credit);
    }
    m_debt -= w;
    return 0;
}

ForwardSession::Action ForwardSession::onPacket(const TunnelPacket& packet, Binary* payload,
                                                int32_t* credit) {
    if (!packet.hasChannel()) return ACTION_NONE;
    if (packet.kind() == TunnelPacket::KIND_OPEN_RESULT) {
        uint8_t status = 0;
        if (!packet.openStatus(&status) || m_established) return ACTION_NONE;
        if (status == 0) return ACTION_ABORT;
        m_established = true;
        return ACTION_NONE;
    }
    if (!m_established) return ACTION_NONE;
    switch (packet.kind()) {
        case TunnelPacket::KIND_CLOSE:
            m_established = false;
            return ACTION_CLOSE;
        case TunnelPacket::KIND_DATA:
            switch (this->payload(packet, payload)) {
                case PAYLOAD_OK:
                    return m_inbound.take(payload->length()) ? ACTION_DELIVER : ACTION_VIOLATION;
                case PAYLOAD_BAD:
                    return ACTION_ABORT;
                default:
                    return ACTION_NONE;
            }
        case TunnelPacket::KIND_WINDOW: {
            uint32_t granted = 0;
            if (!packet.windowGrant(&granted)) return ACTION_NONE;
            *credit = applyWindow(granted);
            return *credit > 0 ? ACTION_READ : ACTION_NONE;
        }
        default:
            return ACTION_NONE;
    }
}

ForwardSession::PayloadResult ForwardSession::payload(const TunnelPacket& packet, Binary* out) {
    const uint8_t* data = nullptr;
    int32_t length = 0;
    if (!packet.payload(&data, &length)) return PAYLOAD_INCOMPLETE;
    if (!m_encrypted) {
        out->resize(0);
        out->append(data, length);
        return PAYLOAD_OK;
    }
    Binary cipher(data, length);
    return m_encryptor.decrypt(out, cipher, packet.sequence()) ? PAYLOAD_OK : PAYLOAD_BAD;
}

bool ForwardSession::_sendWindow(uint32_t granted) {
    Binary packet = TunnelPacket::buildWindow(m_class, m_id, granted);
    if (!m_tunnel->send(packet)) return false;
    m_inbound.grant(granted);
    return true;
}

}  // namespace tunnel
