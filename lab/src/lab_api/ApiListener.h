#pragma once

#include <cstdint>

#include "lab_api/ApiConnection.h"
#include "lab_backend/LoopbackTcpServer.h"

namespace lab {

class ApiService;
class TlsServerContext;

// One listening port of the API server, plain or TLS, with its connections.
class ApiListener : public LoopbackTcpServer<ApiConnection> {
public:
    struct Limits {
        int32_t headLimit = 16384;
        int32_t bodyLimit = 1048576;
        int32_t timeoutMs = 10000;
        int32_t maxConnections = 64;
    };

    // tls null: plain HTTP. Both outlive the listener.
    ApiListener(kx::net::SocketEventSelector* selector, ApiService* service,
                const TlsServerContext* tls, const Limits& limits);
    ~ApiListener() override;

    // Connection ticks, then removal of the closed ones.
    void tick();
    int32_t connectionCount() const { return static_cast<int32_t>(m_connections.size()); }
    bool isSecure() const { return m_tls != nullptr; }

private:
    void _onConnection(ApiConnection* connection) override;

    ApiService* m_service;
    const TlsServerContext* m_tls;
    Limits m_limits;
};

}  // namespace lab
