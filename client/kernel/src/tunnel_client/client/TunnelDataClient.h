#pragma once

#include <cstdint>
#include <functional>

#include "core/src/time/Timer.h"
#include "tunnel_client/client/IDownstream.h"
#include "tunnel_client/client/IUpstream.h"
#include "tunnel_client/client/SessionClient.h"
#include "tunnel_client/client/TunnelInfo.h"

namespace tunnel {

// The connection to the switch that carries a target's tunnel: logs in,
// creates a tunnel or re-attaches an existing one, then carries tunnel
// packets as data frames both ways. A switch that goes quiet (no data frame
// for the receive interval, or no heartbeat for 4 s) is reset from tick().
// The owner deletes it from its own tick, never from inside a callback.
class TunnelDataClient : public SessionClient, public IUpstream {
public:
    enum { STATE_OPENING = 0, STATE_OPEN = 1, STATE_ENDED = 2 };
    static constexpr int HEARTBEAT_TIMEOUT_MS = 4000;
    static constexpr int RECEIVE_TIMEOUT_MS = 4000;
    static constexpr int FAST_RECEIVE_TIMEOUT_MS = 2000;

    std::function<void(const TunnelInfo&)> onTunnelOpened;
    std::function<void(const Error&)> onTunnelFailed;
    std::function<void()> onTunnelClosed;
    std::function<void()> onTunnelTimeout;

    // Create mode: "tunnel_create" for the target after login.
    TunnelDataClient(kx::net::SocketEventSelector* selector, const kx::net::SocketAddress& address,
                     const LoginInfo& login, int64_t targetId, bool fastTick);
    // Attach mode: "tunnel_attach" for a tunnel created earlier.
    TunnelDataClient(kx::net::SocketEventSelector* selector, const kx::net::SocketAddress& address,
                     const LoginInfo& login, const TunnelInfo& tunnel, bool fastTick);
    ~TunnelDataClient() override;

    // One tunnel packet to the switch; dropped unless the tunnel is open.
    void send(const kx::core::Binary& packet) override;
    // Liveness check; the owner calls it well below every 2 s.
    void tick();

    // Receives the tunnel's packets while open; not owned.
    void setDownstream(IDownstream* downstream) { m_downstream = downstream; }
    IDownstream* downstream() const { return m_downstream; }
    const kx::net::SocketAddress& switchAddress() const { return address(); }
    int state() const { return m_state; }
    bool isAttachMode() const { return m_attach; }

private:
    void _install(bool fastTick);
    void _onLogin();
    void _onOpened(const TunnelInfo& info);
    void _onFailed(const Error& error);
    void _handleData(kx::core::Binary& data) override;
    void _handleTimeout() override;
    void _handleClosed() override;

    IDownstream* m_downstream;
    int m_state;
    kx::core::Timer m_heartbeatTimer;
    kx::core::Timer m_receiveTimer;
    bool m_attach;
    int64_t m_targetId;
    TunnelInfo m_tunnel;
};

}  // namespace tunnel
