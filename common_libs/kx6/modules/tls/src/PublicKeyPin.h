#pragma once

#include <mbedtls/x509_crt.h>

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"

namespace kx {
namespace tls {

// A pin names a server key rather than a certificate: the Base64 text of the
// SHA-256 digest of a certificate's SubjectPublicKeyInfo (its DER bytes), so
// it survives a renewal that keeps the key.
class PublicKeyPin {
public:
    static constexpr int32_t DIGEST_SIZE = 32;

    // Base64 text to the 32-byte digest; false for anything else.
    static bool parse(const core::String& text, core::Binary* digest);
    static core::Binary digestOf(const mbedtls_x509_crt& certificate);
    static core::String textOf(const mbedtls_x509_crt& certificate);
    // The pin of the first certificate of a PEM (or DER) text; false with a reason.
    static bool ofPem(const core::Binary& pem, core::String* pin, core::String* error);

    PublicKeyPin() = delete;
};

}  // namespace tls
}  // namespace kx
