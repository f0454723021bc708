#include "tls/src/PublicKeyPin.h"

#include "core/src/crypto/Base64.h"
#include "core/src/crypto/Digest.h"
#include "tls/src/TlsErrors.h"

namespace kx {
namespace tls {

bool PublicKeyPin::parse(const core::String& text, core::Binary* digest) {
    core::Binary bytes;
    if (!core::Base64::decode(text, bytes) || bytes.length() != DIGEST_SIZE) return false;
    if (digest) *digest = bytes;
    return true;
}

core::Binary PublicKeyPin::digestOf(const mbedtls_x509_crt& certificate) {
    return core::Digest::sha256(certificate.pk_raw.p, certificate.pk_raw.len);
}

core::String PublicKeyPin::textOf(const mbedtls_x509_crt& certificate) {
    return core::Base64::encode(digestOf(certificate));
}

bool PublicKeyPin::ofPem(const core::Binary& pem, core::String* pin, core::String* error) {
    mbedtls_x509_crt chain;
    mbedtls_x509_crt_init(&chain);
    // The PEM parser wants the terminating zero counted; Binary always has one.
    int rc = pem.isEmpty() ? MBEDTLS_ERR_X509_INVALID_FORMAT
                           : mbedtls_x509_crt_parse(&chain, pem.data(),
                                                    static_cast<size_t>(pem.length()) + 1);
    bool ok = rc == 0 || (rc > 0 && chain.raw.p != nullptr);
    if (ok && pin) *pin = textOf(chain);
    if (!ok && error) *error = L"not a certificate: " + TlsErrors::text(rc);
    mbedtls_x509_crt_free(&chain);
    return ok;
}

}  // namespace tls
}  // namespace kx
