#pragma once

#include <memory>
#include <string>

#include "core/src/value/Any.h"
#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "lab_api/ApiConfig.h"
#include "net/src/socket/SocketAddress.h"
#include "net/src/socket/SocketEventSelector.h"

namespace lab {

class ApiListener;
class ApiService;
class TlsServerContext;

// The lab's control API on the lab's selector: one service behind a plain
// HTTP listener, an HTTPS listener, or both.
class ApiServer {
public:
    explicit ApiServer(kx::net::SocketEventSelector* selector);
    ~ApiServer();
    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    // targets: the records enum_targets answers with (the config's own
    // "targets" win when given). False with a reason.
    bool start(const ApiConfig& config, const kx::core::Array<kx::core::Any>& targets,
               kx::core::String* error);
    void tick();

    // An admin line without its "api" word; see ApiService::command.
    std::string command(const std::string& line);
    kx::core::Array<kx::core::String> describe() const;

    ApiService& service() { return *m_service; }
    // Port 0 until that listener runs.
    kx::net::SocketAddress httpAddress() const;
    kx::net::SocketAddress httpsAddress() const;
    // The HTTPS certificate's pin (Base64 SHA-256 of its public key), as the
    // SDK's "p" key takes it; empty without HTTPS.
    const kx::core::String& pin() const { return m_pin; }

private:
    bool _loadCertificate(const ApiConfig& config, kx::core::String* error);

    kx::net::SocketEventSelector* m_selector;
    std::unique_ptr<ApiService> m_service;
    std::unique_ptr<TlsServerContext> m_tls;
    kx::core::String m_pin;
    kx::core::String m_certSource;
    // Listeners hold plain pointers to the service and the TLS context.
    std::unique_ptr<ApiListener> m_http;
    std::unique_ptr<ApiListener> m_https;
};

}  // namespace lab
