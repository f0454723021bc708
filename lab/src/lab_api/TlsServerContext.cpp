#include "lab_api/TlsServerContext.h"

namespace lab {

TlsServerContext::TlsServerContext() {
    mbedtls_ssl_config_init(&m_config);
}

TlsServerContext::~TlsServerContext() {
    mbedtls_ssl_config_free(&m_config);
}

bool TlsServerContext::init(const kx::core::Binary& certPem, const kx::core::Binary& keyPem,
                            kx::core::String* error) {
    m_ready = false;
    if (!m_settings.isUsable()) {
        if (error) *error = L"TLS: the random generator could not be seeded";
        return false;
    }
    if (!m_settings.loadOwnCertificate(certPem, keyPem)) {
        if (error) *error = L"TLS: the certificate or key does not parse";
        return false;
    }
    if (mbedtls_ssl_config_defaults(&m_config, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0 ||
        !m_settings.apply(&m_config, true)) {
        if (error) *error = L"TLS: the server configuration was refused";
        return false;
    }
    m_ready = true;
    return true;
}

}  // namespace lab
