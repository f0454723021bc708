#include "lab_api/ApiListener.h"

namespace lab {

ApiListener::ApiListener(kx::net::SocketEventSelector* selector, ApiService* service,
                         const TlsServerContext* tls, const Limits& limits)
    : LoopbackTcpServer<ApiConnection>(selector),
      m_service(service),
      m_tls(tls),
      m_limits(limits) {}

ApiListener::~ApiListener() = default;

void ApiListener::tick() {
    for (auto& connection : m_connections) connection->tick();
    LoopbackTcpServer<ApiConnection>::tick();
}

void ApiListener::_onConnection(ApiConnection* connection) {
    // The new one is not in the list yet.
    if (connectionCount() >= m_limits.maxConnections) {
        connection->refuse(m_tls != nullptr);
        return;
    }
    connection->start(m_service, m_tls, m_limits.headLimit, m_limits.bodyLimit, m_limits.timeoutMs);
}

}  // namespace lab
