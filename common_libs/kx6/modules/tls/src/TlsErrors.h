#pragma once

#include <cstdint>

#include "core/src/value/String.h"

namespace kx {
namespace tls {

// mbedTLS's own words for its error codes and certificate flags.
class TlsErrors {
public:
    // "SSL - ..." / "X509 - ..." for a negative code, with the code in hex.
    static core::String text(int code);
    // The reasons a certificate chain failed, one per flag, joined by "; ".
    static core::String verifyText(uint32_t flags);

    TlsErrors() = delete;
};

}  // namespace tls
}  // namespace kx
