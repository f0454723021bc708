#include "tunnel_client/service/UpstreamBindService.h"

#include "core/src/debug/Assert.h"
#include "tunnel_client/ITunnelContext.h"
#include "tunnel_client/client/TunnelDataClient.h"
#include "tunnel_client/forward/ForwardTunnel.h"
#include "tunnel_client/node/AddressMask.h"
#include "tunnel_client/protocol/ProtocolWire.h"
#include "tunnel_client/service/NodeSelectService.h"
#include "util/src/log/ILogRecorder.h"

namespace tunnel {

using kx::core::String;

UpstreamBindService::UpstreamBindService(ITunnelContext* context, bool fastTick)
    : m_context(context), m_fastTick(fastTick) {
    KX_ASSERT(m_context);
}

UpstreamBindService::~UpstreamBindService() {
    unbind();
}

void UpstreamBindService::bind(const kx::net::SocketAddress& address) {
    if (m_client) return;
    if (!m_tunnelInfo.tunnelId.isEmpty()) {
        m_client.reset(new TunnelDataClient(m_context->selector(), address, m_context->loginInfo(),
                                            m_tunnelInfo, m_fastTick));
    } else {
        m_client.reset(new TunnelDataClient(m_context->selector(), address, m_context->loginInfo(),
                                            m_context->targetId(), m_fastTick));
    }
    m_client->onTunnelOpened = [this](const TunnelInfo& info) { _onTunnelOpened(info); };
    m_client->onTunnelFailed = [this](const Error& error) { _onTunnelFailed(error); };
    m_client->onTunnelClosed = [this]() { _onTunnelClosed(); };
    m_client->onTunnelTimeout = [this]() { _onTunnelTimeout(); };
    m_context->logger()->info(String(L"[Client] Bind with ") + AddressMask::mask(address));
}

void UpstreamBindService::unbind() {
    if (!m_client) return;
    m_context->logger()->info(String(L"[Client] Unbind with ") +
                              AddressMask::mask(m_client->switchAddress()));
    m_client->setDownstream(nullptr);
    m_context->forwardTunnel()->setUpstream(nullptr);
    m_client.reset();
}

bool UpstreamBindService::isOpen() const {
    return m_client && m_client->state() < TunnelDataClient::STATE_ENDED;
}

bool UpstreamBindService::isConnected() const {
    return m_client && m_client->state() == TunnelDataClient::STATE_OPEN;
}

const kx::net::SocketAddress& UpstreamBindService::switchAddress() const {
    return m_client ? m_client->switchAddress() : kx::net::SocketAddress::any();
}

void UpstreamBindService::tick() {
    ForwardTunnel* tunnel = m_context->forwardTunnel();
    if (tunnel->isOpen() && !tunnel->isAlive()) {
        m_context->logger()->warn(L"[Tunnel] Not alive, close.");
        m_context->countFailure(FailureKind::SILENT);
        tunnel->close();
        m_tunnelInfo = TunnelInfo();
    }
    if (!tunnel->isOpen() && isConnected()) {
        if (tunnel->open(m_tunnelInfo.tunnelId)) {
            m_context->logger()->info(L"[Tunnel] open.");
        } else {
            m_context->logger()->warn(L"[Tunnel] Failed to open.");
        }
    }
    if (m_client) m_client->tick();
}

void UpstreamBindService::_onTunnelOpened(const TunnelInfo& info) {
    m_context->setLastError(String());
    ForwardTunnel* tunnel = m_context->forwardTunnel();
    // Everything the switch has not acknowledged goes out again first.
    tunnel->sendBackups(m_client.get());
    tunnel->setUpstream(m_client.get());
    m_client->setDownstream(tunnel);
    String line = m_tunnelInfo.tunnelId.isEmpty() ? String(L"[Client] Tunnel created. Switch:")
                                                  : String(L"[Client] Tunnel attached. Switch:");
    line += AddressMask::mask(m_client->switchAddress());
    line += L", Tunnel:";
    line += String::fromInt64(info.natId.toInt64());
    line += L"-";
    line += info.tunnelId;
    m_context->logger()->info(line);
    m_tunnelInfo = info;
}

void UpstreamBindService::_onTunnelFailed(const Error& error) {
    m_context->setLastError(error.message.isEmpty() ? String(L"Tunnel opening timeout")
                                                    : error.message);
    m_context->countFailure(error.code == -1 ? FailureKind::CONNECT : FailureKind::REFUSED);
    if (error.code == wire::ERROR_UNKNOWN_TUNNEL) {
        // The switch no longer knows the tunnel: start a fresh one next time.
        m_context->forwardTunnel()->close();
        m_tunnelInfo = TunnelInfo();
    }
    m_context->logger()->warn(String(L"[Client] Client open failed:") +
                              String::fromInt32(error.code) + L"-" + error.message);
    m_context->nodeSelectService()->addBackupNode(m_client->switchAddress());
}

void UpstreamBindService::_onTunnelClosed() {
    m_context->logger()->info(L"[Client] Client closed.");
}

void UpstreamBindService::_onTunnelTimeout() {
    m_context->logger()->info(L"[Client] Client timeout.");
    m_context->countFailure(FailureKind::TIMEOUT);
    m_context->nodeSelectService()->addBackupNode(m_client->switchAddress());
}

}  // namespace tunnel
