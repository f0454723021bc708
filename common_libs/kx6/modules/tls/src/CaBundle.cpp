#include "tls/src/CaBundle.h"

#include <map>
#include <memory>
#include <mutex>

#include "tls/src/TlsErrors.h"

#ifndef KX_TLS_CA_BUNDLE
#define KX_TLS_CA_BUNDLE "/etc/ssl/certs/ca-certificates.crt"
#endif

namespace kx {
namespace tls {

namespace {

struct Entry {
    mbedtls_x509_crt chain;
    bool ok = false;
    core::String error;
    Entry() { mbedtls_x509_crt_init(&chain); }
    ~Entry() { mbedtls_x509_crt_free(&chain); }
};

std::mutex& mutex() {
    static std::mutex m;
    return m;
}

std::map<std::string, std::unique_ptr<Entry>>& entries() {
    static std::map<std::string, std::unique_ptr<Entry>> map;
    return map;
}

}  // namespace

std::string CaBundle::defaultPath() { return KX_TLS_CA_BUNDLE; }

const mbedtls_x509_crt* CaBundle::load(const std::string& path, core::String* error) {
    std::lock_guard<std::mutex> lock(mutex());
    std::unique_ptr<Entry>& slot = entries()[path];
    if (!slot) {
        slot.reset(new Entry);
        int rc = path.empty() ? MBEDTLS_ERR_X509_FILE_IO_ERROR
                              : mbedtls_x509_crt_parse_file(&slot->chain, path.c_str());
        // A positive result counts certificates that were skipped.
        slot->ok = rc >= 0 && slot->chain.raw.p != nullptr;
        if (!slot->ok) {
            slot->error = L"cannot read the CA bundle " + core::String::fromUtf8(path) + L": " +
                          TlsErrors::text(rc < 0 ? rc : MBEDTLS_ERR_X509_INVALID_FORMAT);
        }
    }
    if (!slot->ok) {
        // Not kept: a bundle installed later is found on the next attempt.
        if (error) *error = slot->error;
        entries().erase(path);
        return nullptr;
    }
    return &slot->chain;
}

}  // namespace tls
}  // namespace kx
