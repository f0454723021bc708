#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"

namespace kx {
namespace tls {

// Makes certificates in process, for servers that run without files of their
// own (the lab) and for tests: an EC P-256 key (quick to make, unlike RSA)
// and an X.509 v3 certificate for it, signed by itself or by an issuer.
class CertificateWriter {
public:
    struct Identity {
        core::Binary certPem;  // the certificate alone
        core::Binary keyPem;   // its private key, no password
    };
    struct Request {
        std::string commonName;
        std::vector<std::string> dnsNames;  // subjectAltName dNSName entries
        std::vector<std::string> ipv4;      // subjectAltName iPAddress entries, dotted
        bool authority = false;             // may sign other certificates
        std::string notBefore = "20250101000000";
        std::string notAfter = "20450101000000";
    };

    // issuer null: self-signed. False with a reason when mbedTLS refuses a step.
    static bool make(const Request& request, const Identity* issuer, Identity* out,
                     core::String* error);

    CertificateWriter() = delete;
};

}  // namespace tls
}  // namespace kx
