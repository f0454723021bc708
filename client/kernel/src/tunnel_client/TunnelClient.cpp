#include "tunnel_client/TunnelClient.h"

#include "tunnel_client/forward/TcpForwardManager.h"
#include "tunnel_client/forward/UdpForwardManager.h"

namespace tunnel {

TunnelClient::TunnelClient(kx::util::ILogRecorder* logger, kx::net::SocketEventSelector* selector,
                           const LoginInfo& loginInfo, int64_t targetId,
                           const kx::net::IpAddress& localIp,
                           const kx::core::Array<kx::net::IpAddress>& standbyIps,
                           const kx::core::String& key, bool fastTick)
    : m_logger(logger),
      m_selector(selector),
      m_loginInfo(loginInfo),
      m_targetId(targetId),
      m_localIp(localIp),
      m_forwardTunnel(selector, localIp, standbyIps, key),
      m_upstreamBindService(this, fastTick),
      m_nodeSelectService(this),
      m_tunnelKeepService(this) {
    m_forwardTunnel.setLogger(logger);
}

TunnelClient::~TunnelClient() = default;

bool TunnelClient::addNode(const kx::net::SocketAddress& address, const kx::core::String& type) {
    return m_nodeManager.addNode(address, type) != nullptr;
}

void TunnelClient::removeNode(const kx::net::SocketAddress& address) {
    m_nodeManager.removeNode(address);
}

bool TunnelClient::addTcpForward(int clientPort, int standbyPort) {
    return m_forwardTunnel.tcpForwardManager()->add(clientPort, standbyPort) != nullptr;
}

bool TunnelClient::addUdpForward(int clientPort, int standbyPort) {
    return m_forwardTunnel.udpForwardManager()->add(clientPort, standbyPort) != nullptr;
}

void TunnelClient::removeTcpForward(int clientPort) {
    m_forwardTunnel.tcpForwardManager()->remove(clientPort);
}

void TunnelClient::removeUdpForward(int clientPort) {
    m_forwardTunnel.udpForwardManager()->remove(clientPort);
}

void TunnelClient::tick() {
    m_forwardTunnel.tick();
    m_upstreamBindService.tick();
    m_tunnelKeepService.tick();
    m_nodeSelectService.tick();
}

}  // namespace tunnel
