#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <sys/uio.h>

#include "core/src/time/Timer.h"
#include "core/src/value/Binary.h"
#include "net/src/socket/Socket.h"
#include "net/src/socket/SocketAddress.h"
#include "net/src/socket/SocketEventSelector.h"
#include "tunnel_client/protocol/FlowWindow.h"
#include "tunnel_client/protocol/WindowTuner.h"

namespace kx {
namespace net {
class TcpSocketConnector;
}  // namespace net
}  // namespace kx

namespace tunnel {
class TunnelPacket;
}  // namespace tunnel

namespace lab {

class BackendChannel;
class TunnelLink;

// One TCP stream of a tunnel, relayed to its back end: open, connect, then
// the open result and a first window grant to the client; data both ways
// with window flow control both ways; close from either end. Owned by its
// TunnelLink, which deletes it from its own tick once finished.
class RelayStream {
public:
    static constexpr int32_t CONNECT_TIMEOUT_MS = 3000;
    // Read-ahead from the back end, bounded also by the client's window.
    static constexpr int32_t MAX_READ_CREDIT = 262144;
    // A graceful close towards a back end that does not read ends in an
    // abort after this long.
    static constexpr int32_t CLOSE_TIMEOUT_MS = 5000;
    // Client bytes waiting for the back end: never more than the window the
    // switch granted, which grows with a back end that keeps up (WindowTuner).
    static constexpr int64_t MAX_QUEUED = tunnel::WindowTuner::MAX_WINDOW;

    RelayStream(TunnelLink* link, uint16_t id, const kx::net::SocketAddress& backend,
                kx::net::SocketEventSelector* selector);
    ~RelayStream();
    RelayStream(const RelayStream&) = delete;
    RelayStream& operator=(const RelayStream&) = delete;

    // A close, data or window packet of this stream from the client.
    void onPacket(const tunnel::TunnelPacket& packet);
    // Reads more from the back end when the client's window and the link's
    // room allow it.
    void pump();
    // Ends a close that the back end never lets finish; writes what this
    // round queued for the back end.
    void tick();
    bool isFinished() const { return m_state == STATE_FINISHED; }
    bool isConnected() const { return m_state == STATE_OPEN; }
    uint16_t id() const { return m_id; }
    // Bytes of the client's window not yet used.
    int64_t window() const { return m_window; }
    // The client sent more than it was granted, or more than can be queued.
    bool violated() const { return m_violated; }
    // The window towards the back end: what the client may have in flight
    // and queued here.
    int64_t clientWindow() const { return m_tuner.target(); }

private:
    enum State { STATE_CONNECTING, STATE_OPEN, STATE_FINISHED };

    void _onConnected(kx::net::Socket* socket);
    // The back end is read straight into data frames of the link.
    int _readTargets(iovec* targets, int max, int want);
    void _onBackendData(int32_t length);
    void _onBackendSent(int bytes);
    void _onBackendClosed();
    void _abort();
    // Bytes from a packet: a view of the read buffer (written with the
    // read's gathered write) or, deciphered, a buffer of our own.
    void _onClientData(const uint8_t* data, int32_t length, bool view);
    void _grant(uint32_t bytes);

    TunnelLink* m_link;
    uint16_t m_id;
    kx::net::SocketEventSelector* m_selector;
    State m_state = STATE_CONNECTING;
    std::unique_ptr<kx::net::TcpSocketConnector> m_connector;
    std::unique_ptr<BackendChannel> m_channel;
    kx::core::Binary m_early;  // client bytes that came before the back end answered
    bool m_clientClosed = false;
    int64_t m_window = 0;  // bytes the client lets us send
    int64_t m_credit = 0;  // of those, read credit given to the back-end channel
    // What the client may still send: the first grant counts from the open
    // (a client may send that much before the open result arrives).
    tunnel::FlowWindow m_clientWindow;
    tunnel::WindowTuner m_tuner;  // what to grant for bytes the back end took
    bool m_violated = false;
    kx::core::Timer m_closeTimer;
    kx::core::Binary m_plain;
    std::vector<kx::core::Binary> m_pieces;  // frames the running read fills
};

}  // namespace lab
