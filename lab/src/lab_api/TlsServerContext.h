#pragma once

#include <mbedtls/ssl.h>

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"
#include "tls/src/TlsSettings.h"

namespace lab {

// What every TLS session of one HTTPS listener shares: the random generator,
// the own certificate and one server configuration. Outlives its sessions.
class TlsServerContext {
public:
    TlsServerContext();
    ~TlsServerContext();
    TlsServerContext(const TlsServerContext&) = delete;
    TlsServerContext& operator=(const TlsServerContext&) = delete;

    // PEM certificate and key (no password); false with a reason.
    bool init(const kx::core::Binary& certPem, const kx::core::Binary& keyPem,
              kx::core::String* error);
    bool isReady() const { return m_ready; }
    const mbedtls_ssl_config* config() const { return &m_config; }

private:
    kx::tls::TlsSettings m_settings;
    mbedtls_ssl_config m_config;
    bool m_ready = false;
};

}  // namespace lab
