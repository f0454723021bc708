#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include "core/src/value/Binary.h"

namespace kx {
namespace tls {

// What TLS sessions share across connections: the seeded random generator,
// an optional CA chain, an optional own certificate and the verification
// level. One per HTTP client; its filters hold it by plain pointer.
class TlsSettings {
public:
    TlsSettings();
    ~TlsSettings();
    TlsSettings(const TlsSettings&) = delete;
    TlsSettings& operator=(const TlsSettings&) = delete;

    // False when the random generator could not be seeded.
    bool isUsable() const { return m_seeded; }
    // PEM text; fails on empty text or a parse error.
    bool loadCaChain(const core::Binary& pem);
    // Both must parse (key without password); on failure both are cleared.
    bool loadOwnCertificate(const core::Binary& certPem, const core::Binary& keyPem);
    bool hasCaChain() const { return m_caLoaded; }
    bool hasOwnCertificate() const { return m_ownLoaded; }
    // 0: no peer verification (the default); 1: verification required.
    void setVerifyLevel(int level) { m_verifyLevel = level > 0 ? 1 : 0; }
    int verifyLevel() const { return m_verifyLevel; }

    // Authentication mode, RNG and chains; a server needs an own certificate.
    bool apply(mbedtls_ssl_config* config, bool server);

private:
    void _clearOwn();

    mbedtls_entropy_context m_entropy;
    mbedtls_ctr_drbg_context m_drbg;
    bool m_seeded = false;
    mbedtls_x509_crt m_ca;
    bool m_caLoaded = false;
    mbedtls_x509_crt m_ownCert;
    mbedtls_pk_context m_ownKey;
    bool m_ownLoaded = false;
    int m_verifyLevel = 0;
};

}  // namespace tls
}  // namespace kx
