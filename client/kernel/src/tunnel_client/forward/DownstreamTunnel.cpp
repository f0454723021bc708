#include "tunnel_client/forward/DownstreamTunnel.h"

#include "core/src/time/Clock.h"
#include "tunnel_client/client/IUpstream.h"
#include "tunnel_client/protocol/TunnelPacket.h"

namespace tunnel {

using kx::core::Binary;

DownstreamTunnel::DownstreamTunnel(int32_t backupCapacity)
    : m_backups(backupCapacity), m_ackPacket(TunnelPacket::buildAck(0)) {}

DownstreamTunnel::~DownstreamTunnel() = default;

bool DownstreamTunnel::open() {
    if (m_opened) return false;
    m_aliveTimer.start(ALIVE_TIMEOUT_MS);
    m_ackTimer.start(ACK_INTERVAL_MS);
    // On the clock's 500 ms grid, where the worker's 1 s tick also falls: an
    // idle tunnel then wakes the worker twice a second, not three times. Only
    // the gap before the second acknowledgement is shorter (up to 500 ms).
    m_ackTimer.alignStart(ACK_INTERVAL_MS);
    m_ackTimer.shorten(ACK_INTERVAL_MS);  // first acknowledgement on the next tick
    m_opened = true;
    return true;
}

void DownstreamTunnel::close() {
    if (!m_opened) return;
    m_receiveSequence = 0;
    m_sendSequence = 0;
    m_receivedSinceAck = 0;
    m_aliveTimer.start(0);
    m_ackTimer.start(0);
    m_backups.clear();
    m_spare.clear();
    m_roundTrip.reset();
    m_refused = false;
    m_opened = false;
}

bool DownstreamTunnel::send(Binary& packet) {
    if (!isAlive() || packet.length() < TunnelPacket::HEADER_SIZE) return false;
    if (!m_backups.hasRoom(packet.length())) {
        m_refused = true;
        return false;
    }
    TunnelPacket::writeSequence(packet, m_sendSequence);
    bool large = packet.length() >= SPARE_MIN_LENGTH;
    m_backups.push(m_sendSequence, std::move(packet));
    if (large && !m_spare.empty()) {
        packet.swap(m_spare.back());
        m_spare.pop_back();
        packet.clear();
    }
    Backup& backup = m_backups.back();
    const Binary& kept = backup.packet();
    if (m_upstream) {
        backup.setSentAt(kx::core::Clock::nowMs());
        m_upstream->send(kept);
    }
    m_traffic.addSent(kept.length());
    ++m_sendSequence;
    return true;
}

void DownstreamTunnel::receive(const Binary& packet) {
    if (!isAlive()) return;
    m_aliveTimer.reset();
    m_traffic.addReceived(packet.length());

    TunnelPacket view(packet);
    if (!view.isValid()) return;
    if (view.isAck()) {
        _acknowledge(packet);
        return;
    }
    uint32_t sequence = view.sequence();
    // No reordering buffer: the switch resends whatever we did not acknowledge.
    if (sequence != m_receiveSequence) return;
    ++m_receiveSequence;
    m_receivedSinceAck += packet.length();
    onData(packet);
    // Delivery may have closed the tunnel; the counters then belong to a new life.
    if (!isAlive()) return;
    if (m_receivedSinceAck >= ACK_BYTES && m_upstream) {
        _sendAck(sequence);
        m_receivedSinceAck = 0;
    }
}

void DownstreamTunnel::_acknowledge(const Binary& packet) {
    if (m_backups.isEmpty()) return;
    uint32_t freed = TunnelPacket::acknowledgedCount(m_backups.front().sequence(), m_sendSequence,
                                                     TunnelPacket(packet).sequence());
    if (freed == 0) return;
    uint32_t sentAt = 0;
    bool timed = false;
    for (uint32_t n = 0; n < freed && !m_backups.isEmpty(); ++n) {
        timed = m_backups.front().sentAt(&sentAt);
        if (m_spare.size() < SPARE_PACKETS &&
            m_backups.front().packet().length() >= SPARE_MIN_LENGTH) {
            m_spare.emplace_back();
            m_backups.popFront(&m_spare.back());
        } else {
            m_backups.popFront();
        }
    }
    // The newest packet freed is the one the acknowledgement answered.
    if (timed) m_roundTrip.addSample(sentAt, kx::core::Clock::nowMs());
    if (m_refused) {
        m_refused = false;
        onRoom();
    }
}

void DownstreamTunnel::sendBackups(IUpstream* upstream) {
    if (!isAlive() || !upstream) return;
    const uint32_t now = kx::core::Clock::nowMs();
    for (Backup& backup : m_backups.items()) {
        // Only a first write times a round trip; a resend's acknowledgement
        // may answer the earlier write.
        if (!backup.sentAt(nullptr)) backup.setSentAt(now);
        upstream->send(backup.packet());
    }
}

void DownstreamTunnel::tick() {
    onTick();
    if (!isAlive()) return;
    if (m_aliveTimer.isExpired()) {
        m_aliveTimer.start(0);  // dead from now on; the bind service closes us
        return;
    }
    if (m_ackTimer.isExpired()) {
        m_ackTimer.rearm();
        if (m_upstream) {
            _sendAck(m_receiveSequence - 1);
            m_receivedSinceAck = 0;
        }
    }
    m_traffic.tick();
}

void DownstreamTunnel::_sendAck(uint32_t sequence) {
    TunnelPacket::writeSequence(m_ackPacket, sequence);
    m_upstream->send(m_ackPacket);
}

}  // namespace tunnel
