#pragma once

#include <mbedtls/x509_crt.h>

#include <string>

#include "core/src/value/String.h"

namespace kx {
namespace tls {

// Trust stores read from disk, parsed once per process and path and shared
// read-only by every TLS session after that (a system bundle holds well over
// a hundred certificates; parsing it per connection would cost more than the
// handshake).
class CaBundle {
public:
    // The build's default bundle: Debian's ca-certificates unless the build
    // names another one.
    static std::string defaultPath();
    // The parsed bundle at path, or null with a reason. Certificates of the
    // file that do not parse are skipped; a file without any usable one fails.
    static const mbedtls_x509_crt* load(const std::string& path, core::String* error);

    CaBundle() = delete;
};

}  // namespace tls
}  // namespace kx
