#pragma once

#include <memory>

#include "net/src/socket/SocketAddress.h"
#include "tunnel_client/client/Error.h"
#include "tunnel_client/client/TunnelInfo.h"

namespace tunnel {

class ITunnelContext;
class TunnelDataClient;

// Owns the one switch connection of a tunnel client: binds it to the chosen
// switch (creating the tunnel, or attaching to the one created earlier),
// joins it to the forward tunnel, opens the forward tunnel once connected and
// closes it when the downstream has gone silent. Worker thread only; the
// data client's callbacks run inside the client's tick or its socket events.
class UpstreamBindService {
public:
    UpstreamBindService(ITunnelContext* context, bool fastTick);
    virtual ~UpstreamBindService();
    UpstreamBindService(const UpstreamBindService&) = delete;
    UpstreamBindService& operator=(const UpstreamBindService&) = delete;

    void bind(const kx::net::SocketAddress& address);
    void unbind();
    bool isBound() const { return m_client != nullptr; }
    bool isOpen() const;       // bound and not closed
    bool isConnected() const;  // bound and the tunnel is up
    const kx::net::SocketAddress& switchAddress() const;
    const TunnelInfo& tunnelInfo() const { return m_tunnelInfo; }
    TunnelDataClient* client() const { return m_client.get(); }
    void tick();

private:
    void _onTunnelOpened(const TunnelInfo& info);
    void _onTunnelFailed(const Error& error);
    void _onTunnelClosed();
    void _onTunnelTimeout();

    ITunnelContext* m_context;
    std::unique_ptr<TunnelDataClient> m_client;
    TunnelInfo m_tunnelInfo;
    bool m_fastTick;
};

}  // namespace tunnel
