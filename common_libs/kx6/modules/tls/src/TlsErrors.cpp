#include "tls/src/TlsErrors.h"

#include <mbedtls/error.h>
#include <mbedtls/x509_crt.h>

#include <cstdio>
#include <string>

namespace kx {
namespace tls {

core::String TlsErrors::text(int code) {
    char buffer[256];
    mbedtls_strerror(code, buffer, sizeof(buffer));
    char hex[24];
    std::snprintf(hex, sizeof(hex), " (-0x%04X)", static_cast<unsigned>(code < 0 ? -code : code));
    return core::String::fromUtf8(std::string(buffer) + hex);
}

core::String TlsErrors::verifyText(uint32_t flags) {
    char buffer[1024];
    int n = mbedtls_x509_crt_verify_info(buffer, sizeof(buffer), "", flags);
    std::string lines = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    std::string out;
    size_t at = 0;
    while (at < lines.size()) {
        size_t end = lines.find('\n', at);
        if (end == std::string::npos) end = lines.size();
        if (end > at) {
            if (!out.empty()) out += "; ";
            out += lines.substr(at, end - at);
        }
        at = end + 1;
    }
    if (out.empty()) out = "unknown reason";
    return core::String::fromUtf8(out);
}

}  // namespace tls
}  // namespace kx
