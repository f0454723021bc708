#pragma once

#include <cstdint>

#include "core/src/time/Timer.h"
#include "core/src/value/Binary.h"
#include "core/src/value/String.h"
#include "tunnel_client/forward/ForwardSession.h"
#include "tunnel_client/forward/tcp_channel/TcpChannel.h"

namespace tunnel {

class TcpForward;

// A local connection carried through the tunnel as one numbered stream.
//
// The stream must never have a hole: when the tunnel has no room for a
// piece, the rest of what was read is held here, window grants from the
// switch are put aside so no more is read, and both resume when the tunnel
// reports room again. A local close while data is still held hands the
// channel to its forward, which keeps it until the tail and the close
// packet are sent.
//
// The tunnel has no half-close packet, and an end of stream from the
// application cannot tell a shutdown for writing from a full close. An
// application that sent data and then ended its stream before any answer
// came back (HTTP/1.0 clients, scripts) is waiting for that answer: the
// stream stays open, nothing more is read from the application, what the
// switch sends is still delivered, and the stream closes when the switch
// closes it or after LINGER_MS without data from the switch. An end of
// stream after an answer (or without any data sent) closes at once.
class TcpForwardDataChannel : public kx::net::TcpChannel {
public:
    static constexpr int32_t MAX_PIECE = wire::MAX_PIECE;
    static constexpr int32_t INITIAL_READ = 8192;
    static constexpr int32_t LINGER_MS = 60000;

    TcpForwardDataChannel(TcpForward* forward, uint16_t channelId, kx::net::Socket* socket,
                          kx::net::SocketEventSelector* selector, const kx::core::String& key);
    ~TcpForwardDataChannel() override;

    uint16_t channelId() const { return m_session.id(); }
    bool isEstablished() const { return m_session.isEstablished(); }
    bool isEncrypted() const { return m_session.isEncrypted(); }
    // Bytes the switch may still send on this stream.
    int64_t inboundWindow() const { return m_session.inboundWindow(); }
    // The stream's current window towards the application.
    int64_t windowTarget() const { return m_session.windowTarget(); }

    // A packet from the switch for this channel id.
    void onPacket(const TunnelPacket& packet);

    // Local data or a close packet still waiting for room in the tunnel.
    bool hasPendingOutput() const { return !m_held.isEmpty() || m_closePending; }
    // Sends what was held back; true when nothing is left.
    bool flush();
    // Closes a half-closed stream whose switch side stayed silent too long.
    void checkLinger();

private:
    void _onLocalData(kx::core::Binary& data);
    void _onLocalSent(int bytes);
    void _onLocalClosed();
    void _onLocalInputEnded();
    void _allowRead(int32_t credit);

    TcpForward* m_forward;
    ForwardSession m_session;
    bool m_opened = false;  // the switch was told about this stream
    bool m_localClosed = false;
    bool m_closePending = false;
    bool m_awaitingAnswer = false;  // local data went out after the last delivery
    // Packets already on their way after a window violation are dropped
    // quietly: a hostile switch must not be able to grow the log.
    bool m_violated = false;
    kx::core::Binary m_held;  // local bytes the tunnel had no room for
    int32_t m_heldPos = 0;
    int64_t m_deferredCredit = 0;  // grants put aside while data is held
    kx::core::Binary m_plain;
    kx::core::Timer m_lingerTimer;  // runs once the application half-closed
};

}  // namespace tunnel
