#pragma once

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"

namespace lab {

// A certificate and key made in process for an HTTPS listener that was given
// no files: an EC P-256 key (quick to make, unlike RSA) signing its own
// certificate, valid for ten years from 2025.
class SelfSignedCertificate {
public:
    // PEM texts; false with a reason when mbedTLS refuses a step.
    static bool make(const kx::core::String& commonName, kx::core::Binary* certPem,
                     kx::core::Binary* keyPem, kx::core::String* error);

    SelfSignedCertificate() = delete;
};

}  // namespace lab
