#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <string>

#include "core/src/value/Array.h"
#include "core/src/value/Binary.h"
#include "core/src/value/String.h"
#include "core/src/value/Strings.h"

namespace kx {
namespace tls {

// What TLS sessions share across connections: the seeded random generator,
// an optional CA chain, an optional own certificate, the verification level
// and the pins. One per HTTP client; its filters hold it by plain pointer.
//
// A client verifies the server by default: the chain against the loaded CA
// chain, else against the CA bundle file (the system's unless another is
// named), and the host name given to the filter. With pins, a certificate of
// the chain must match one of them and no public CA is needed. A server never
// asks its clients for certificates.
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
    // 1: the server must be verified (the default); 0: anything is accepted
    // (only for tests and peers that are verified by other means).
    void setVerifyLevel(int level) { m_verifyLevel = level > 0 ? 1 : 0; }
    int verifyLevel() const { return m_verifyLevel; }
    // The trust store file used when no CA chain is loaded.
    void setCaBundlePath(const std::string& path) { m_bundlePath = path; }
    const std::string& caBundlePath() const { return m_bundlePath; }
    // Base64 SHA-256 digests of SubjectPublicKeyInfo. One malformed pin makes
    // every handshake fail (with that reason) rather than pin less than asked.
    bool setPins(const core::Strings& pins);
    const core::Array<core::Binary>& pins() const { return m_pins; }
    // Why setPins refused its list; empty when the pins are sound.
    const core::String& pinError() const { return m_pinError; }

    // Authentication mode, RNG and chains; a server needs an own certificate.
    // A verifying client gets mode "optional": the filter judges the chain
    // itself once mbedTLS has built it (see PeerVerifier). False with a reason.
    bool apply(mbedtls_ssl_config* config, bool server, core::String* error = nullptr);

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
    int m_verifyLevel = 1;
    std::string m_bundlePath;
    core::Array<core::Binary> m_pins;
    core::String m_pinError;
};

}  // namespace tls
}  // namespace kx
