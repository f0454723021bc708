#pragma once

#include <cstdint>

#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "net/src/socket/IpAddress.h"
#include "net/src/socket/SocketAddress.h"
#include "tunnel_client/ITunnelContext.h"
#include "tunnel_client/client/LoginInfo.h"
#include "tunnel_client/forward/ForwardTunnel.h"
#include "tunnel_client/node/NodeManager.h"
#include "tunnel_client/service/NodeSelectService.h"
#include "tunnel_client/service/TunnelKeepService.h"
#include "tunnel_client/service/UpstreamBindService.h"

namespace tunnel {

// Everything that serves one target: its nodes, its local forwards with the
// downstream tunnel, the one upstream to the chosen switch and the services
// that select and keep it. Nothing starts before the first tick.
class TunnelClient : public ITunnelContext {
public:
    TunnelClient(kx::util::ILogRecorder* logger, kx::net::SocketEventSelector* selector,
                 const LoginInfo& loginInfo, int64_t targetId, const kx::net::IpAddress& localIp,
                 const kx::core::Array<kx::net::IpAddress>& standbyIps, const kx::core::String& key,
                 bool fastTick);
    ~TunnelClient() override;
    TunnelClient(const TunnelClient&) = delete;
    TunnelClient& operator=(const TunnelClient&) = delete;

    bool addNode(const kx::net::SocketAddress& address, const kx::core::String& type);
    void removeNode(const kx::net::SocketAddress& address);
    bool addTcpForward(int clientPort, int standbyPort);
    bool addUdpForward(int clientPort, int standbyPort);
    void removeTcpForward(int clientPort);
    void removeUdpForward(int clientPort);

    void tick();
    bool isOpen() const { return m_upstreamBindService.isOpen(); }
    bool isConnected() const { return m_upstreamBindService.isConnected(); }
    int32_t connectionCount() const { return m_forwardTunnel.connectionCount(); }
    const kx::core::String& lastError() const { return m_lastError; }
    const kx::net::IpAddress& localIp() const { return m_localIp; }

    // ITunnelContext
    kx::util::ILogRecorder* logger() override { return m_logger; }
    kx::net::SocketEventSelector* selector() override { return m_selector; }
    const LoginInfo& loginInfo() const override { return m_loginInfo; }
    int64_t targetId() const override { return m_targetId; }
    NodeManager* nodeManager() override { return &m_nodeManager; }
    ForwardTunnel* forwardTunnel() override { return &m_forwardTunnel; }
    UpstreamBindService* upstreamBindService() override { return &m_upstreamBindService; }
    NodeSelectService* nodeSelectService() override { return &m_nodeSelectService; }
    void setLastError(const kx::core::String& text) override { m_lastError = text; }
    void countFailure(FailureKind kind) override { ++m_failures[static_cast<int32_t>(kind)]; }
    // Failures of one kind since the client was made.
    int64_t failureCount(FailureKind kind) const { return m_failures[static_cast<int32_t>(kind)]; }

private:
    // Built in this order and torn down in reverse: the services go before
    // the forward tunnel and the nodes they point into.
    kx::util::ILogRecorder* m_logger;
    kx::net::SocketEventSelector* m_selector;
    LoginInfo m_loginInfo;
    int64_t m_targetId;
    kx::net::IpAddress m_localIp;
    NodeManager m_nodeManager;
    ForwardTunnel m_forwardTunnel;
    UpstreamBindService m_upstreamBindService;
    NodeSelectService m_nodeSelectService;
    TunnelKeepService m_tunnelKeepService;
    kx::core::String m_lastError;
    int64_t m_failures[FAILURE_KIND_COUNT] = {};
};

}  // namespace tunnel
