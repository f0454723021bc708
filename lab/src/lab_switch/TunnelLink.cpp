#include "lab_switch/TunnelLink.h"

#include "lab_switch/Relay.h"
#include "lab_switch/RelaySession.h"
#include "lab_switch/RelayStream.h"
#include "lab_switch/SwitchSession.h"
#include "core/src/time/Clock.h"
#include "net/src/channel/SizeHeaderCapsulator.h"
#include "tunnel_client/protocol/ProtocolWire.h"

namespace lab {

using kx::core::Binary;
using tunnel::TunnelPacket;

TunnelLink::TunnelLink(Relay* relay, int64_t targetId, const kx::core::String& tunnelId,
                       int64_t backupCapacity)
    : m_relay(relay),
      m_targetId(targetId),
      m_tunnelId(tunnelId),
      m_capacity(backupCapacity),
      m_cipher(relay->forwardKey(), tunnelId) {}

// Streams and sessions hold a pointer back to the link; they go first.
TunnelLink::~TunnelLink() {
    m_oldStreams.clear();
    m_oldSessions.clear();
    m_streams.clear();
    m_sessions.clear();
}

void TunnelLink::attach(SwitchSession* holder) {
    m_holder = holder;
    m_unwritten = 0;
    if (!m_holder) return;
    m_resent += static_cast<int64_t>(m_kept.size());
    m_unwritten = m_kept.size();
    flush();
}

void TunnelLink::detach(SwitchSession* holder) {
    if (m_holder != holder) return;
    m_holder = nullptr;
    m_unwritten = 0;
}

void TunnelLink::flush() {
    if (!m_holder || m_unwritten == 0) return;
    size_t first = m_kept.size() - m_unwritten;
    m_unwritten = 0;
    const uint32_t now = kx::core::Clock::nowMs();
    for (size_t i = first; i < m_kept.size(); ++i) {
        // A resend's acknowledgement may answer the first write: only that one is timed.
        if (m_kept[i].timed) continue;
        m_kept[i].sentAt = now;
        m_kept[i].timed = true;
    }
    m_holder->sendFrames(m_kept, first);
}

int64_t TunnelLink::maxWindow() const {
    return m_relay->maxWindow();
}

bool TunnelLink::ignoresWindow() const {
    return m_holder && m_holder->ignoresWindow();
}

Binary TunnelLink::_newFrame(int32_t length) {
    Binary frame;
    if (!m_pool.empty()) {
        frame.swap(m_pool.back());
        m_pool.pop_back();
    }
    const int32_t prefix =
        kx::net::SizeHeaderCapsulator::HEADER_SIZE + tunnel::wire::FRAME_PREFIX_SIZE;
    frame.reserve(prefix + length);
    frame.resize(prefix);
    kx::net::SizeHeaderCapsulator::writeHeader(frame.data(), prefix + length);
    frame[4] = tunnel::wire::FRAME_VERSION;
    frame[5] = tunnel::wire::FRAME_KIND_DATA;
    return frame;
}

void TunnelLink::_recycle(Binary& frame) {
    if (m_pool.size() >= FRAME_POOL || frame.capacity() > 2 * tunnel::wire::MAX_PIECE) return;
    frame.clear();
    m_pool.push_back(std::move(frame));
}

void TunnelLink::_sendFrame(Binary& frame) {
    TunnelPacket::writeU32(frame.data() + Kept::PACKET_OFFSET + 2, m_sendSequence);
    m_kept.push_back(Kept{m_sendSequence, std::move(frame)});
    const Binary& kept = m_kept.back().frame;
    m_keptBytes += kept.length() - Kept::PACKET_OFFSET;
    if (!hasRoom()) m_wasFull = true;
    ++m_sendSequence;
    // The kept frame itself goes out, gathered with the rest of the batch:
    // no copy of the packet for the wire.
    if (!m_holder) return;
    ++m_unwritten;
    if (m_batch == 0) flush();
}

void TunnelLink::send(const Binary& packet) {
    if (packet.length() < TunnelPacket::HEADER_SIZE) return;
    Binary frame = _newFrame(packet.length());
    frame.append(packet);
    _sendFrame(frame);
}

bool TunnelLink::sendData(uint8_t packetClass, uint16_t channel, const uint8_t* data,
                          int32_t length) {
    if (m_cipher.isOn()) {
        if (!m_cipher.encrypt(data, length, m_sendSequence, &m_cipherText)) return false;
        data = m_cipherText.data();
        length = m_cipherText.length();
    }
    if (length < 0 || length > TunnelPacket::MAX_PAYLOAD) return false;
    // Header and payload go straight into the frame.
    Binary frame = _newFrame(TunnelPacket::DATA_HEADER_SIZE + length);
    uint8_t header[TunnelPacket::DATA_HEADER_SIZE] = {packetClass, TunnelPacket::KIND_DATA};
    TunnelPacket::writeU16(header + 6, channel);
    TunnelPacket::writeU16(header + 8, static_cast<uint16_t>(length));
    frame.append(header, sizeof(header));
    frame.append(data, length);
    _sendFrame(frame);
    return true;
}

Binary TunnelLink::newDataFrame() {
    Binary frame = _newFrame(TunnelPacket::DATA_HEADER_SIZE + tunnel::wire::MAX_PIECE);
    frame.resizeForOverwrite(DATA_OFFSET + tunnel::wire::MAX_PIECE);
    return frame;
}

void TunnelLink::sendDataFrame(uint8_t packetClass, uint16_t channel, Binary& frame,
                               int32_t length) {
    if (length < 0 || length > tunnel::wire::MAX_PIECE || frame.length() < DATA_OFFSET + length) {
        _recycle(frame);
        return;
    }
    if (m_cipher.isOn()) {
        sendData(packetClass, channel, frame.data() + DATA_OFFSET, length);
        _recycle(frame);
        return;
    }
    frame.resize(DATA_OFFSET + length);
    kx::net::SizeHeaderCapsulator::writeHeader(frame.data(), DATA_OFFSET + length);
    uint8_t* header = frame.data() + Kept::PACKET_OFFSET;
    header[0] = packetClass;
    header[1] = TunnelPacket::KIND_DATA;
    TunnelPacket::writeU16(header + 6, channel);
    TunnelPacket::writeU16(header + 8, static_cast<uint16_t>(length));
    _sendFrame(frame);
}

void TunnelLink::sendWindow(uint8_t packetClass, uint16_t channel, uint32_t granted) {
    Binary packet = TunnelPacket::buildWindow(packetClass, channel, granted);
    send(packet);
}

void TunnelLink::sendClose(uint8_t packetClass, uint16_t channel) {
    Binary packet = TunnelPacket::buildClose(packetClass, channel);
    send(packet);
}

void TunnelLink::sendOpenResult(uint8_t packetClass, uint16_t channel, bool accepted) {
    Binary packet = TunnelPacket::buildOpenResult(packetClass, channel, accepted ? 1 : 0);
    send(packet);
}

uint32_t TunnelLink::takeAckNumber() {
    m_receivedSinceAck = 0;
    return m_receiveSequence - 1;
}

void TunnelLink::receiveInReadBuffer(const uint8_t* packet, int32_t length) {
    m_inReadBuffer = true;
    receive(packet, length);
    m_inReadBuffer = false;
}

void TunnelLink::receive(const uint8_t* packet, int32_t length) {
    TunnelPacket view(packet, length);
    if (!view.isValid()) return;
    if (view.isAck()) {
        _acknowledge(view.sequence());
        return;
    }
    uint32_t sequence = view.sequence();
    // No reordering: the client resends whatever we did not acknowledge.
    if (sequence != m_receiveSequence) {
        ++m_outOfOrder;
        return;
    }
    ++m_receiveSequence;
    m_receivedSinceAck += length;
    _dispatch(view);
    if (m_receivedSinceAck >= tunnel::wire::ACK_BYTES && m_holder) {
        m_receivedSinceAck = 0;
        Binary ack = TunnelPacket::buildAck(sequence);
        flush();
        m_holder->sendPacket(ack);
    }
}

void TunnelLink::_acknowledge(uint32_t acked) {
    if (m_kept.empty()) return;
    // Only a number between the oldest kept packet and the last one sent
    // frees anything (modulo 2^32): the client names 4294967295 before it has
    // received a packet, and a stale or future number must not drop packets
    // it may still need.
    uint32_t freed =
        TunnelPacket::acknowledgedCount(m_kept.front().sequence, m_sendSequence, acked);
    uint32_t sentAt = 0;
    bool timed = false;
    for (uint32_t n = 0; n < freed && !m_kept.empty(); ++n) {
        sentAt = m_kept.front().sentAt;
        timed = m_kept.front().timed;
        Binary& frame = m_kept.front().frame;
        m_keptBytes -= frame.length() - Kept::PACKET_OFFSET;
        _recycle(frame);
        m_kept.pop_front();
    }
    // The newest packet freed is the one the acknowledgement answered.
    if (timed) m_roundTrip.addSample(sentAt, kx::core::Clock::nowMs());
    // A client that acknowledges what it cannot have seen loses it.
    if (m_unwritten > m_kept.size()) m_unwritten = m_kept.size();
    if (m_wasFull && hasRoom()) {
        m_wasFull = false;
        _resumeReading();
    }
}

void TunnelLink::_resumeReading() {
    for (auto& item : m_streams) item.second->pump();
}

void TunnelLink::_dispatch(const TunnelPacket& packet) {
    if (!packet.hasChannel()) return;
    if (packet.kind() == TunnelPacket::KIND_OPEN) {
        _open(packet);
        return;
    }
    uint16_t id = packet.channel();
    if (packet.packetClass() == TunnelPacket::CLASS_TCP) {
        auto it = m_streams.find(id);
        if (it != m_streams.end()) it->second->onPacket(packet);
    } else if (packet.packetClass() == TunnelPacket::CLASS_UDP) {
        auto it = m_sessions.find(id);
        if (it != m_sessions.end()) it->second->onPacket(packet);
    }
}

void TunnelLink::_open(const TunnelPacket& packet) {
    uint8_t cls = packet.packetClass();
    if (cls != TunnelPacket::CLASS_TCP && cls != TunnelPacket::CLASS_UDP) return;
    uint16_t id = packet.channel();
    uint16_t port = 0;
    if (!packet.openPort(&port)) return;
    bool udp = cls == TunnelPacket::CLASS_UDP;
    // A client reuses an id only after it let go of it: whatever still runs
    // under that id is over.
    if (udp) {
        auto it = m_sessions.find(id);
        if (it != m_sessions.end()) {
            m_oldSessions.push_back(std::move(it->second));
            m_sessions.erase(it);
        }
    } else {
        auto it = m_streams.find(id);
        if (it != m_streams.end()) {
            m_oldStreams.push_back(std::move(it->second));
            m_streams.erase(it);
        }
    }
    const Relay::Route* route = m_relay->find(m_targetId, port, udp);
    size_t open =
        udp ? m_sessions.size() + m_oldSessions.size() : m_streams.size() + m_oldStreams.size();
    if (!route || id == 0 || open >= static_cast<size_t>(MAX_STREAMS)) {
        ++m_refusedOpens;
        sendOpenResult(cls, id, false);
        return;
    }
    if (udp) {
        std::unique_ptr<RelaySession> session(
            new RelaySession(this, id, route->backend, m_relay->selector()));
        if (!session->isFinished()) m_sessions[id] = std::move(session);
    } else {
        m_streams[id].reset(new RelayStream(this, id, route->backend, m_relay->selector()));
    }
}

void TunnelLink::tick() {
    m_oldStreams.clear();
    m_oldSessions.clear();
    for (auto it = m_streams.begin(); it != m_streams.end();) {
        it->second->tick();
        if (it->second->isFinished()) {
            it = m_streams.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        it->second->tick();
        if (it->second->isFinished()) {
            it = m_sessions.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace lab
