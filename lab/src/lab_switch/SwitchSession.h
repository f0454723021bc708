#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "core/src/time/Timer.h"
#include "core/src/value/Binary.h"
#include "core/src/value/Dictionary.h"
#include "core/src/value/String.h"
#include "lab_switch/SwitchChannel.h"
#include "lab_switch/TunnelLink.h"

namespace lab {

class SwitchServer;
struct TunnelRecord;

// The switch side of one client connection: answers the login, latency and
// tunnel calls and, while it carries a tunnel, sends the acknowledgement
// packet as a heartbeat. Owned by its SwitchServer, which deletes it from
// its own tick once closed.
class SwitchSession {
public:
    // Lab error codes besides the shared tunnel::wire::ERROR_UNKNOWN_TUNNEL.
    static constexpr int32_t ERROR_BAD_REQUEST = 400;
    static constexpr int32_t ERROR_ACCESS_DENIED = 401;
    static constexpr int32_t ERROR_NOT_LOGGED_IN = 403;
    static constexpr int32_t ERROR_UNKNOWN_METHOD = 404;
    static constexpr int IDLE_TIMEOUT_MS = 60000;
    // Before login: the largest frame (the login calls are a few hundred
    // bytes) and the time a connection has to log in.
    static constexpr int LOGIN_FRAME_LIMIT = 4096;
    static constexpr int SEND_KEEP_CAPACITY = 262144;
    static constexpr int LOGIN_TIMEOUT_MS = 10000;

    SwitchSession(kx::net::Socket* socket, kx::net::SocketEventSelector* selector,
                  SwitchServer* server);
    ~SwitchSession();
    SwitchSession(const SwitchSession&) = delete;
    SwitchSession& operator=(const SwitchSession&) = delete;

    // Heartbeats and held-back answers.
    void tick();
    bool isClosed() const { return m_closed; }
    bool isLoggedIn() const { return m_loggedIn; }
    // The fault that relays back-end data past the client's window is on.
    bool ignoresWindow() const;
    // The tunnel this connection carries, empty when none.
    const kx::core::String& tunnelId() const { return m_tunnelId; }
    // Another connection took the tunnel over.
    void detachTunnel() { m_tunnelId.clear(); }
    int64_t heartbeatsSent() const { return m_heartbeatsSent; }
    // One tunnel packet to the client as a data frame (nothing while the
    // fault keeps this connection quiet).
    void sendPacket(const kx::core::Binary& packet);
    // A whole connection frame, already encoded (a tunnel's kept packet).
    void sendFrame(const kx::core::Binary& frame);
    // Kept frames from `first` on, with one gathered write where the
    // connection has nothing else queued.
    void sendFrames(const std::deque<TunnelLink::Kept>& kept, size_t first);
    // Writes what this round queued now rather than after another poll.
    void flush();

private:
    typedef kx::core::Dictionary<kx::core::Binary> Message;

    void _onFrame(const uint8_t* frame, int32_t length);
    void _onMessage(const Message& message);
    void _handle_zero_make(const Message& call);
    void _handle_zero_login(const Message& call);
    void _handle_tunnel_create(const Message& call);
    void _handle_tunnel_attach(const Message& call);
    void _handle_latency_query(const Message& call);
    void _reply(Message& result);
    void _error(int32_t code, const kx::core::String& message);
    void _send(const kx::core::Binary& payload);
    void _openTunnel(TunnelRecord* record);
    void _attachLink();
    TunnelLink* _link() const;
    bool _isSilent() const;

    SwitchServer* m_server;
    std::unique_ptr<SwitchChannel> m_channel;
    kx::core::Timer m_loginDeadline;
    bool m_closed;
    kx::core::String m_zeroId;
    bool m_loggedIn;
    kx::core::String m_accessId;
    kx::core::String m_tunnelId;
    kx::core::Timer m_heartbeat;
    int64_t m_heartbeatsSent;
    bool m_closeAfterSend;
    struct Held {
        uint32_t due;
        kx::core::Binary payload;
        bool closeAfter;
    };
    std::deque<Held> m_held;
    kx::core::Binary m_out;
    kx::core::Binary m_packetFrame;
    bool m_attachPending = false;  // the tunnel's packets follow the held answer
};

}  // namespace lab
