#include "tls/src/TlsSettings.h"

#include "tls/src/CaBundle.h"
#include "tls/src/PublicKeyPin.h"

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
    m_bundlePath = CaBundle::defaultPath();
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

bool TlsSettings::setPins(const core::Strings& pins) {
    m_pins.clear();
    m_pinError.clear();
    for (const core::String& text : pins) {
        core::Binary digest;
        if (!PublicKeyPin::parse(text, &digest)) {
            m_pinError = L"certificate pin is not the Base64 text of a SHA-256 digest: \"" +
                         text + L"\"";
            continue;
        }
        m_pins.append(digest);
    }
    return m_pinError.isEmpty();
}

bool TlsSettings::apply(mbedtls_ssl_config* config, bool server, core::String* error) {
    auto fail = [error](const core::String& why) {
        if (error) *error = why;
        return false;
    };
    if (!m_seeded) return fail(L"TLS: the random generator could not be seeded");
    const bool verify = !server && m_verifyLevel > 0;
    if (verify && !m_pinError.isEmpty()) return fail(m_pinError);
    mbedtls_ssl_conf_authmode(config, verify ? MBEDTLS_SSL_VERIFY_OPTIONAL : MBEDTLS_SSL_VERIFY_NONE);
    mbedtls_ssl_conf_rng(config, mbedtls_ctr_drbg_random, &m_drbg);
    if (m_caLoaded) {
        mbedtls_ssl_conf_ca_chain(config, &m_ca, nullptr);
    } else if (verify) {
        core::String why;
        const mbedtls_x509_crt* bundle = CaBundle::load(m_bundlePath, &why);
        if (bundle) {
            // mbedTLS only reads the chain; the bundle is shared and outlives us.
            mbedtls_ssl_conf_ca_chain(config, const_cast<mbedtls_x509_crt*>(bundle), nullptr);
        } else if (m_pins.isEmpty()) {
            // Pins alone can vouch for a server; without them nothing could.
            return fail(L"certificate verification impossible: " + why);
        }
    }
    if (m_ownLoaded) {
        if (mbedtls_ssl_conf_own_cert(config, &m_ownCert, &m_ownKey) != 0)
            return fail(L"TLS: the own certificate was refused");
    } else if (server) {
        return fail(L"TLS: a server needs its own certificate");
    }
    return true;
}

}  // namespace tls
}  // namespace kx
