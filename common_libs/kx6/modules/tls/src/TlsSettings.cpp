#include "tls/src/TlsSettings.h"

namespace kx {
namespace tls {

namespace {
const unsigned char PERSONALIZATION[] = {'k', 'x', '.', 't', 'l', 's'};

// PEM parsers want the terminating zero counted; Binary always has one.
size_t pemLength(const core::Binary& pem) {
    return static_cast<size_t>(pem.length()) + 1;
}
}  // namespace

TlsSettings::TlsSettings() {
    mbedtls_entropy_init(&m_entropy);
    mbedtls_ctr_drbg_init(&m_drbg);
    mbedtls_x509_crt_init(&m_ca);
    mbedtls_x509_crt_init(&m_ownCert);
    mbedtls_pk_init(&m_ownKey);
    m_seeded = mbedtls_ctr_drbg_seed(&m_drbg, mbedtls_entropy_func, &m_entropy, PERSONALIZATION,
                                     sizeof(PERSONALIZATION)) == 0;
}

TlsSettings::~TlsSettings() {
    mbedtls_pk_free(&m_ownKey);
    mbedtls_x509_crt_free(&m_ownCert);
    mbedtls_x509_crt_free(&m_ca);
    mbedtls_ctr_drbg_free(&m_drbg);
    mbedtls_entropy_free(&m_entropy);
}

bool TlsSettings::loadCaChain(const core::Binary& pem) {
    mbedtls_x509_crt_free(&m_ca);
    mbedtls_x509_crt_init(&m_ca);
    m_caLoaded = false;
    if (pem.isEmpty()) return false;
    if (mbedtls_x509_crt_parse(&m_ca, pem.data(), pemLength(pem)) != 0) {
        mbedtls_x509_crt_free(&m_ca);
        mbedtls_x509_crt_init(&m_ca);
        return false;
    }
    m_caLoaded = true;
    return true;
}

bool TlsSettings::loadOwnCertificate(const core::Binary& certPem, const core::Binary& keyPem) {
    _clearOwn();
    if (certPem.isEmpty() || keyPem.isEmpty() ||
        mbedtls_x509_crt_parse(&m_ownCert, certPem.data(), pemLength(certPem)) != 0 ||
        mbedtls_pk_parse_key(&m_ownKey, keyPem.data(), pemLength(keyPem), nullptr, 0) != 0) {
        _clearOwn();
        return false;
    }
    m_ownLoaded = true;
    return true;
}

void TlsSettings::_clearOwn() {
    mbedtls_pk_free(&m_ownKey);
    mbedtls_x509_crt_free(&m_ownCert);
    mbedtls_x509_crt_init(&m_ownCert);
    mbedtls_pk_init(&m_ownKey);
    m_ownLoaded = false;
}

bool TlsSettings::apply(mbedtls_ssl_config* config, bool server) {
    if (!m_seeded) return false;
    mbedtls_ssl_conf_authmode(config, m_verifyLevel * 2);
    mbedtls_ssl_conf_rng(config, mbedtls_ctr_drbg_random, &m_drbg);
    if (m_caLoaded) mbedtls_ssl_conf_ca_chain(config, &m_ca, nullptr);
    if (m_ownLoaded) {
        if (mbedtls_ssl_conf_own_cert(config, &m_ownCert, &m_ownKey) != 0) return false;
    } else if (server) {
        return false;
    }
    return true;
}

}  // namespace tls
}  // namespace kx
