#pragma once

#include <cstdint>

#include "core/src/value/String.h"
#include "tunnel_launcher/encrypt/Encryptor.h"
#include "util/src/http/IHttpAccess.h"

namespace tunnel {

// Enciphers request bodies for the control API and deciphers its answers.
// Each request carries a fresh nonce and a timestamp; both (with the answer's
// own timestamp) key the body cipher. A 316 answer with
// "X-Ca-Timestamp-Reset" corrects the clock offset and is retried once.
// Not locked: put a SharedHttpClient in front when threads share it.
class EncryptedHttpClient : public kx::util::IHttpAccess {
public:
    static constexpr int32_t STATUS_TIMESTAMP_REJECTED = 316;

    EncryptedHttpClient(kx::util::IHttpAccess* inner, const kx::core::String& spec);  // inner not owned
    ~EncryptedHttpClient() override;

    bool request(const kx::net::HttpRequest& request, kx::net::HttpResponse* response, bool secure,
                 int32_t timeoutMs) override;

    int64_t clockOffset() const { return m_clockOffset; }

    // 16 hex characters derived from a fresh GUID.
    static kx::core::String makeNonce();

private:
    bool _exchange(const kx::net::HttpRequest& request, kx::net::HttpResponse& response, bool secure,
                   int32_t timeoutMs);

    kx::util::IHttpAccess* m_inner;
    Encryptor m_encryptor;
    int64_t m_clockOffset = 0;
};

}  // namespace tunnel
