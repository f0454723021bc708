#include "lab_switch/RelayStream.h"

#include <algorithm>

#include "lab_backend/BackendChannel.h"
#include "lab_switch/TunnelLink.h"
#include "net/src/channel/TcpSocketChannel.h"
#include "net/src/channel/TcpSocketConnector.h"
#include "tunnel_client/protocol/TunnelPacket.h"

namespace lab {

using kx::core::Binary;
using tunnel::TunnelPacket;

RelayStream::RelayStream(TunnelLink* link, uint16_t id, const kx::net::SocketAddress& backend,
                         kx::net::SocketEventSelector* selector)
    : m_link(link),
      m_id(id),
      m_selector(selector),
      m_tuner(&link->grantBudget(), &link->roundTrip(), link->maxWindow()) {
    m_connector.reset(new kx::net::TcpSocketConnector(selector));
    m_connector->connect(
        backend, [this](kx::net::Socket* socket) { _onConnected(socket); }, CONNECT_TIMEOUT_MS);
}

RelayStream::~RelayStream() {
    m_channel.reset();
    m_connector.reset();
}

void RelayStream::_onConnected(kx::net::Socket* socket) {
    if (m_state != STATE_CONNECTING) return;
    if (!socket) {
        m_state = STATE_FINISHED;
        m_link->sendOpenResult(TunnelPacket::CLASS_TCP, m_id, false);
        return;
    }
    socket->setNoDelay(1);
    m_channel.reset(new BackendChannel(socket, m_selector, false));
    if (!m_channel->isOpen()) {
        m_state = STATE_FINISHED;
        m_link->sendOpenResult(TunnelPacket::CLASS_TCP, m_id, false);
        return;
    }
    m_state = STATE_OPEN;
    m_channel->setIdleTimeout(0);
    m_channel->setKeepCapacity(0, 16384);
    m_channel->onReadTargets = [this](iovec* targets, int max, int want) {
        return _readTargets(targets, max, want);
    };
    m_channel->onReadInto = [this](int32_t length) { _onBackendData(length); };
    m_channel->onSent = [this](int bytes) { _onBackendSent(bytes); };
    m_channel->onClosed = [this]() { _onBackendClosed(); };
    m_link->sendOpenResult(TunnelPacket::CLASS_TCP, m_id, true);
    // Already counted in m_clientWindow.
    m_link->sendWindow(TunnelPacket::CLASS_TCP, m_id, tunnel::wire::INITIAL_GRANT);
    if (!m_early.isEmpty()) {
        m_channel->send(std::move(m_early));
        m_early = Binary();
    }
    if (m_clientClosed) {
        m_channel->closeGracefully();
        m_closeTimer.start(CLOSE_TIMEOUT_MS);
        return;
    }
    pump();
}

void RelayStream::onPacket(const TunnelPacket& packet) {
    if (m_state == STATE_FINISHED) return;
    switch (packet.kind()) {
        case TunnelPacket::KIND_CLOSE:
            if (m_clientClosed) return;
            m_clientClosed = true;
            if (m_channel) m_channel->closeGracefully();
            m_closeTimer.start(CLOSE_TIMEOUT_MS);
            return;
        case TunnelPacket::KIND_DATA: {
            const uint8_t* data = nullptr;
            int32_t length = 0;
            if (m_clientClosed || !packet.payload(&data, &length)) return;
            if (!m_link->cipher().isOn()) {
                _onClientData(data, length, m_link->inReadBuffer());
                return;
            }
            if (!m_link->cipher().decrypt(data, length, packet.sequence(), &m_plain)) {
                _abort();
                return;
            }
            _onClientData(m_plain.data(), m_plain.length(), false);
            return;
        }
        case TunnelPacket::KIND_WINDOW: {
            uint32_t granted = 0;
            if (!packet.windowGrant(&granted)) return;
            m_window += granted;
            pump();
            return;
        }
        default:
            return;
    }
}

void RelayStream::_onClientData(const uint8_t* data, int32_t length, bool view) {
    if (length <= 0) return;
    int64_t queued = m_channel ? m_channel->pendingBytes() : m_early.length();
    // A client that ignores the window would make us buffer without end:
    // the stream is over for it.
    if (!m_clientWindow.take(length) || queued + length > MAX_QUEUED) {
        m_violated = true;
        _abort();
        return;
    }
    if (!m_channel) {
        m_early.append(data, length);
    } else if (view) {
        // Written straight from the read buffer at the end of the read; only
        // what the back end does not take then is copied into the queue.
        m_channel->addView(data, length);
    } else {
        m_channel->send(Binary(data, length));
    }
}

void RelayStream::tick() {
    if (m_state == STATE_FINISHED || !m_channel) return;
    m_channel->flush();
    if (m_state == STATE_FINISHED || !m_clientClosed) return;
    if (m_closeTimer.isExpired()) {
        // The back end never took the rest: reset it rather than hold it.
        m_state = STATE_FINISHED;
        m_channel->abort();
        m_channel->tick();
    }
}

void RelayStream::pump() {
    if (m_state != STATE_OPEN || m_clientClosed || !m_link->hasRoom()) return;
    if (m_channel->state() != kx::net::TcpSocketChannel::STATE_OPEN) return;
    // The ignore_window fault reads on whatever the client granted.
    int64_t window = m_link->ignoresWindow() ? MAX_READ_CREDIT : m_window;
    int64_t want = std::min<int64_t>(window, MAX_READ_CREDIT) - m_credit;
    if (want <= 0) return;
    if (m_channel->recv(static_cast<int>(want))) m_credit += want;
}

int RelayStream::_readTargets(iovec* targets, int max, int want) {
    int count = 0;
    for (; count < max && want > 0; ++count) {
        int32_t piece = std::min(tunnel::wire::MAX_PIECE, want);
        m_pieces.push_back(m_link->newDataFrame());
        targets[count].iov_base = m_pieces.back().data() + TunnelLink::DATA_OFFSET;
        targets[count].iov_len = size_t(piece);
        want -= piece;
    }
    return count;
}

void RelayStream::_onBackendData(int32_t length) {
    const int32_t got = length;
    m_credit -= length;
    m_window -= length;
    {
        // The pieces of one read leave with one write.
        TunnelLink::Batch batch(m_link);
        for (Binary& frame : m_pieces) {
            int32_t piece = std::min(tunnel::wire::MAX_PIECE, length);
            if (piece > 0) {
                m_link->sendDataFrame(TunnelPacket::CLASS_TCP, m_id, frame, piece);
            } else {
                m_link->recycle(frame);
            }
            length -= piece;
        }
        m_pieces.clear();
    }
    if (got > 0) pump();
}

void RelayStream::_onBackendSent(int bytes) {
    if (m_clientClosed) return;
    int64_t grant = m_tuner.onDelivered(bytes, m_channel ? m_channel->pendingBytes() : 0);
    if (grant > 0) _grant(static_cast<uint32_t>(grant));
}

void RelayStream::_grant(uint32_t bytes) {
    m_clientWindow.grant(bytes);
    m_link->sendWindow(TunnelPacket::CLASS_TCP, m_id, bytes);
}

void RelayStream::_onBackendClosed() {
    if (m_state == STATE_FINISHED) return;
    m_state = STATE_FINISHED;
    if (!m_clientClosed) m_link->sendClose(TunnelPacket::CLASS_TCP, m_id);
}

void RelayStream::_abort() {
    m_state = STATE_FINISHED;
    m_early = Binary();
    if (m_channel) {
        m_channel->abort();
        m_channel->tick();
    }
    if (!m_clientClosed) m_link->sendClose(TunnelPacket::CLASS_TCP, m_id);
}

}  // namespace lab
