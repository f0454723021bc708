#include "lab_switch/SwitchSession.h"

#include "core/src/time/Clock.h"
#include "lab_switch/SwitchServer.h"
#include "lab_switch/TunnelLink.h"
#include "lab_switch/TunnelTable.h"
#include "tunnel_client/protocol/LoginProof.h"
#include "tunnel_client/protocol/ProtocolFrame.h"
#include "tunnel_client/protocol/ProtocolWire.h"
#include "tunnel_client/protocol/TunnelPacket.h"
#include "tunnel_client/protocol/WireValue.h"

namespace lab {

using kx::core::Binary;
using kx::core::Clock;
using kx::core::String;
using tunnel::ProtocolFrame;
using tunnel::WireValue;
namespace wire = tunnel::wire;

SwitchSession::SwitchSession(kx::net::Socket* socket, kx::net::SocketEventSelector* selector,
                             SwitchServer* server)
    : m_server(server),
      m_closed(false),
      m_loggedIn(false),
      m_heartbeatsSent(0),
      m_closeAfterSend(false) {
    socket->setNoDelay(1);
    m_channel.reset(
        new SwitchChannel(socket, selector, wire::STREAM_BUFFER_LIMIT, wire::STREAM_BUFFER_KEEP));
    if (!m_channel->isOpen()) {
        m_closed = true;
        return;
    }
    m_channel->setFrameLimit(LOGIN_FRAME_LIMIT);
    // A busy tunnel queues a read burst of frames per flush: keep that much.
    m_channel->setKeepCapacity(kx::net::TcpSocketChannel::KEEP_CAPACITY, SEND_KEEP_CAPACITY);
    m_loginDeadline.start(LOGIN_TIMEOUT_MS);
    m_channel->setIdleTimeout(IDLE_TIMEOUT_MS);
    m_channel->onFrame = [this](const uint8_t* frame, int32_t length) { _onFrame(frame, length); };
    // What the packets of one read produced leaves with one write.
    m_channel->onReadEnd = [this]() {
        TunnelLink* link = _link();
        if (link && link->holder() == this) link->flush();
    };
    m_channel->onClosed = [this]() { m_closed = true; };
}

SwitchSession::~SwitchSession() {
    m_server->table()->release(this);
}

bool SwitchSession::_isSilent() const {
    SwitchFault fault = m_server->config().fault;
    return fault == SwitchFault::MUTE || (fault == SwitchFault::SILENT && !m_tunnelId.isEmpty());
}

bool SwitchSession::ignoresWindow() const {
    return m_server->config().fault == SwitchFault::IGNORE_WINDOW;
}

void SwitchSession::_onFrame(const uint8_t* frame, int32_t length) {
    if (m_closed || _isSilent() || length < wire::FRAME_PREFIX_SIZE) return;
    if (frame[0] != wire::FRAME_VERSION) return;
    uint8_t kind = frame[1];
    if (kind == wire::FRAME_KIND_DATA) {
        TunnelLink* link = _link();
        // Only the connection that carries the tunnel now feeds its packet layer.
        if (!link || link->holder() != this) return;
        // A view past the frame prefix: no move of the packet bytes.
        TunnelLink::Batch batch(link);
        link->receiveInReadBuffer(frame + wire::FRAME_PREFIX_SIZE,
                                  length - wire::FRAME_PREFIX_SIZE);
        return;
    }
    if (kind != wire::FRAME_KIND_MESSAGE) return;
    Message message;
    ProtocolFrame::decodeMessage(Binary(frame, length), &message);
    if (message.isEmpty()) return;
    _onMessage(message);
}

void SwitchSession::_onMessage(const Message& call) {
    if (WireValue::text(call, wire::KEY_KIND) != wire::KIND_CALL) return;
    String method = WireValue::text(call, wire::KEY_METHOD);
    if (method == wire::METHOD_ZERO_MAKE) {
        _handle_zero_make(call);
    } else if (method == wire::METHOD_ZERO_LOGIN) {
        _handle_zero_login(call);
    } else if (!m_loggedIn) {
        _error(ERROR_NOT_LOGGED_IN, L"Not logged in");
    } else if (method == wire::METHOD_TUNNEL_CREATE) {
        _handle_tunnel_create(call);
    } else if (method == wire::METHOD_TUNNEL_ATTACH) {
        _handle_tunnel_attach(call);
    } else if (method == wire::METHOD_LATENCY_QUERY) {
        _handle_latency_query(call);
    } else {
        _error(ERROR_UNKNOWN_METHOD, L"Unknown method");
    }
}

void SwitchSession::_handle_zero_make(const Message&) {
    m_zeroId = m_server->newZeroId();
    Message result;
    result.set(wire::KEY_ZERO_ID, WireValue::fromText(m_zeroId));
    if (m_server->config().fault == SwitchFault::CLOSE_AFTER_MAKE) m_closeAfterSend = true;
    _reply(result);
}

void SwitchSession::_handle_zero_login(const Message& call) {
    // The id is good for one attempt only.
    String zeroId = m_zeroId;
    m_zeroId.clear();
    String accessId = WireValue::text(call, wire::KEY_ACCESS_ID);
    const String* key = nullptr;
    for (const String& candidate : m_server->config().accessKeys) {
        if (tunnel::LoginProof::accessId(candidate) == accessId) {
            key = &candidate;
            break;
        }
    }
    String expected;
    if (key && !zeroId.isEmpty()) {
        expected =
            tunnel::LoginProof::compute(*key, WireValue::text(call, wire::KEY_CLIENT_TOKEN),
                                        WireValue::text(call, wire::KEY_CLIENT_TYPE),
                                        WireValue::text(call, wire::KEY_CLIENT_VERSION), zeroId);
    }
    if (expected.isEmpty() || expected != WireValue::text(call, wire::KEY_ZERO_KEY)) {
        _error(ERROR_ACCESS_DENIED, L"Access denied");
        return;
    }
    m_loggedIn = true;
    m_accessId = accessId;
    m_channel->setFrameLimit(wire::STREAM_BUFFER_LIMIT);
    if (m_server->config().fault == SwitchFault::CLOSE_AFTER_LOGIN) m_closeAfterSend = true;
    Message result;
    _reply(result);
}

void SwitchSession::_handle_tunnel_create(const Message& call) {
    if (!call.contains(wire::KEY_TARGET_ID)) {
        _error(ERROR_BAD_REQUEST, L"Missing target_id");
        return;
    }
    TunnelRecord& record =
        m_server->table()->create(WireValue::int64(call, wire::KEY_TARGET_ID), m_accessId);
    _openTunnel(&record);
    Message result;
    result.set(wire::KEY_TUNNEL_ID, WireValue::fromText(record.tunnelId));
    result.set(wire::KEY_NAT_ID, WireValue::fromInt64(record.natId));
    _reply(result);
    _attachLink();
}

void SwitchSession::_handle_tunnel_attach(const Message& call) {
    TunnelRecord* record = m_server->table()->find(WireValue::text(call, wire::KEY_TUNNEL_ID));
    // A tunnel is named by both ids and belongs to the key that created it.
    if (!record || !call.contains(wire::KEY_NAT_ID) ||
        WireValue::int64(call, wire::KEY_NAT_ID) != record->natId ||
        record->accessId != m_accessId) {
        _error(wire::ERROR_UNKNOWN_TUNNEL, L"Tunnel not found");
        return;
    }
    if (record->holder && record->holder != this) record->holder->detachTunnel();
    ++record->attachCount;
    _openTunnel(record);
    Message result;
    _reply(result);
    _attachLink();
}

void SwitchSession::_handle_latency_query(const Message&) {
    Message result;
    result.set(wire::KEY_LATENCY, WireValue::fromInt64(m_server->config().latency));
    _reply(result);
}

void SwitchSession::_openTunnel(TunnelRecord* record) {
    // A connection carries one tunnel: the one it carried so far starts to
    // linger as if the connection had gone.
    TunnelTable* table = m_server->table();
    TunnelRecord* previous = m_tunnelId.isEmpty() ? nullptr : table->find(m_tunnelId);
    if (previous && previous != record && previous->holder == this) {
        table->letGo(previous, this);
    }
    table->hold(record, this);
    m_tunnelId = record->tunnelId;
    // The first heartbeat goes out one period after the reply.
    m_heartbeat.start(m_server->config().heartbeatMs);
}

TunnelLink* SwitchSession::_link() const {
    if (m_tunnelId.isEmpty()) return nullptr;
    TunnelRecord* record = m_server->table()->find(m_tunnelId);
    return record ? record->link.get() : nullptr;
}

void SwitchSession::_attachLink() {
    // The client reads tunnel packets only once it has the answer: resend
    // after it, never before.
    if (!m_held.empty()) {
        m_attachPending = true;
        return;
    }
    m_attachPending = false;
    TunnelLink* link = _link();
    if (link) link->attach(this);
}

void SwitchSession::sendPacket(const Binary& packet) {
    if (m_closed || _isSilent()) return;
    ProtocolFrame::encodeData(packet, &m_packetFrame);
    _send(m_packetFrame);
}

void SwitchSession::sendFrame(const Binary& frame) {
    if (m_closed || _isSilent()) return;
    m_channel->send(frame);
}

void SwitchSession::sendFrames(const std::deque<TunnelLink::Kept>& kept, size_t first) {
    if (m_closed || _isSilent()) return;
    for (size_t i = first; i < kept.size(); ++i)
        m_channel->addView(kept[i].frame.data(), kept[i].frame.length());
    m_channel->flushViews();
}

void SwitchSession::flush() {
    if (m_closed) return;
    TunnelLink* link = _link();
    if (link && link->holder() == this) link->flush();
    m_channel->flush();
}

void SwitchSession::_reply(Message& result) {
    result.set(wire::KEY_KIND, WireValue::fromText(wire::KIND_RETURN));
    ProtocolFrame::encodeMessage(result, &m_out);
    bool closeAfter = m_closeAfterSend;
    m_closeAfterSend = false;
    const SwitchConfig& config = m_server->config();
    if ((config.fault == SwitchFault::SLOW && config.slowMs > 0) || !m_held.empty()) {
        // Held answers keep their order behind any that are already waiting.
        uint32_t delay = config.fault == SwitchFault::SLOW ? uint32_t(config.slowMs) : 0;
        m_held.push_back(Held{Clock::nowMs() + delay, m_out, closeAfter});
        return;
    }
    _send(m_out);
    if (closeAfter) m_channel->closeGracefully();
}

void SwitchSession::_error(int32_t code, const String& message) {
    Message result;
    result.set(wire::KEY_ERROR_CODE, WireValue::fromInt64(code));
    result.set(wire::KEY_ERROR_MSG, WireValue::fromText(message));
    _reply(result);
}

void SwitchSession::_send(const Binary& payload) {
    // The tunnel's packets numbered so far go first.
    TunnelLink* link = _link();
    if (link && link->holder() == this) link->flush();
    m_channel->sendPayload(payload);
}

void SwitchSession::tick() {
    if (m_closed) return;
    if (!m_loggedIn && m_loginDeadline.isExpired()) {
        m_channel->abort();
        m_channel->tick();
        return;
    }
    while (!m_held.empty()) {
        Held& front = m_held.front();
        if (static_cast<int32_t>(Clock::nowMs() - front.due) < 0) break;
        Held held = std::move(front);
        m_held.pop_front();
        _send(held.payload);
        if (held.closeAfter) {
            m_channel->closeGracefully();
            return;
        }
    }
    if (m_attachPending && m_held.empty()) _attachLink();
    if (m_tunnelId.isEmpty() || _isSilent()) return;
    if (m_heartbeat.isExpired()) {
        m_heartbeat.reset();
        // Without a packet layer nothing is tracked: acknowledge "none".
        TunnelLink* link = _link();
        uint32_t acked = wire::NOTHING_RECEIVED;
        if (link && link->holder() == this) acked = link->takeAckNumber();
        ProtocolFrame::encodeData(tunnel::TunnelPacket::buildAck(acked), &m_out);
        _send(m_out);
        ++m_heartbeatsSent;
    }
}

}  // namespace lab
