#pragma once

#include <cstdint>

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"
#include "tunnel_client/client/DataEncryptor.h"
#include "tunnel_client/protocol/FlowWindow.h"
#include "tunnel_client/protocol/ProtocolWire.h"
#include "tunnel_client/protocol/TunnelPacket.h"
#include "tunnel_client/protocol/WindowTuner.h"

namespace tunnel {

class DownstreamTunnel;

// The tunnel side of one forwarded TCP stream or UDP session, shared by both
// kinds of data channel: packet building, per-packet encryption, the open
// handshake flag and both directions of window accounting. What the switch
// may send grows with the stream (WindowTuner) within the tunnel's budget.
class ForwardSession {
public:
    static constexpr int32_t INITIAL_GRANT =
        wire::INITIAL_GRANT;                                 // what the switch may send at first
    static constexpr int32_t GRANT_STEP = wire::GRANT_STEP;  // the least grant after the first

    enum SendResult { SENT, REFUSED, TOO_LARGE };
    enum PayloadResult { PAYLOAD_OK, PAYLOAD_INCOMPLETE, PAYLOAD_BAD };
    // What a packet from the switch asks of the channel.
    enum Action {
        ACTION_NONE,     // ignored, or only the session state changed
        ACTION_ABORT,    // refused open or undecipherable data: reset the local side
        ACTION_CLOSE,    // the switch closed: finish writing, then close
        ACTION_DELIVER,  // write *payload to the local side
        ACTION_READ,     // the local side may send *credit more bytes
        // The switch sent data beyond the window we granted: it ignores flow
        // control, so buffering would be unbounded. Reset the local side.
        ACTION_VIOLATION,
    };

    ForwardSession(DownstreamTunnel* tunnel, uint8_t packetClass, uint16_t id,
                   const kx::core::String& sessionKey);
    virtual ~ForwardSession() = default;

    // Empty forward key: no encryption. Otherwise the lower-case MD5 hex of
    // the UTF-8 of key text + tunnel id.
    static kx::core::String sessionKey(const kx::core::String& forwardKey,
                                       const kx::core::String& tunnelId);

    uint16_t id() const { return m_id; }
    bool isEncrypted() const { return m_encrypted; }
    bool isEstablished() const { return m_established; }
    void setEstablished(bool established) { m_established = established; }

    // The open packet, then the first window grant. False when the tunnel
    // refused the open packet: the switch never heard of this session.
    bool open(uint16_t port, int64_t debt);
    // One data packet; the payload is encrypted with the sequence number the
    // tunnel will give it. REFUSED: the tunnel had no room, nothing was used.
    // The range must lie inside data.
    SendResult sendData(const kx::core::Binary& data, int32_t offset, int32_t length);
    bool sendClose();

    // Bytes written to the local side, with the bytes still waiting for it:
    // they are granted back to the switch in steps (at least GRANT_STEP) and
    // the window may grow. A grant the tunnel refused is kept for flushGrant().
    void onDelivered(int32_t bytes, int64_t backlog = 0);
    bool hasPendingGrant() const { return m_pendingGrant > 0; }
    bool flushGrant();
    // Bytes the switch may still send before it exceeds our grants.
    int64_t inboundWindow() const { return m_inbound.available(); }
    // The stream's window towards us: what it may have in flight and queued here.
    int64_t windowTarget() const { return m_tuner.target(); }

    // A grant from the switch, net of the bytes we let the local side send
    // before any grant arrived: how many more bytes may be read locally.
    int32_t applyWindow(uint32_t granted);

    // Applies one packet of this session from the switch: open result, close,
    // data (its plain bytes in *payload) or window (the read credit in *credit).
    // Anything but an open result is ignored until the session is established.
    // Data is counted against the window granted so far; more is a violation.
    Action onPacket(const TunnelPacket& packet, kx::core::Binary* payload, int32_t* credit);

    // The plain payload of an incoming data packet (decrypted with the
    // packet's own sequence number when encryption is on).
    PayloadResult payload(const TunnelPacket& packet, kx::core::Binary* out);

private:
    bool _sendWindow(uint32_t granted);

    DownstreamTunnel* m_tunnel;
    uint8_t m_class;
    uint16_t m_id;
    DataEncryptor m_encryptor;
    bool m_encrypted;
    bool m_established = false;
    int64_t m_debt = 0;
    int64_t m_pendingGrant = 0;
    FlowWindow m_inbound{0};    // what the switch may still send; grants count once sent
    WindowTuner m_tuner;        // how much to grant; counts the first grant from the open
    kx::core::Binary m_packet;  // reused for every outgoing data packet
    kx::core::Binary m_cipher;
};

}  // namespace tunnel
