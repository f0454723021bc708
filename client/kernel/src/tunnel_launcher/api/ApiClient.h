#pragma once

#include <cstdint>

#include "core/src/value/Any.h"
#include "core/src/value/Array.h"
#include "core/src/value/Dictionary.h"
#include "core/src/value/Map.h"
#include "core/src/value/String.h"
#include "core/src/value/Strings.h"
#include "net/src/url/URL.h"
#include "util/src/http/IHttpAccess.h"
#include "util/src/web/WebClient.h"
#include "tunnel_launcher/encrypt/ApiCatalogue.h"

namespace tunnel {

// Typed client of the control API: one JSON-RPC call per operation. Never
// throws; a failed call returns false (or PING_FAILED) and leaves its code and
// text in lastErrorCode()/lastErrorText(). Used by one thread at a time.
class ApiClient {
public:
    typedef kx::core::Map<kx::core::String, kx::core::String> Marks;

    static constexpr uint32_t PING_FAILED = 0xFFFFFFFFu;
    static constexpr int32_t PING_TIMEOUT = 7000;
    static constexpr int32_t CALL_TIMEOUT = 15000;
    static constexpr int32_t TOKEN_REJECTED = ApiCatalogue::TOKEN_REJECTED;

    // access is not owned and must outlive the client.
    ApiClient(kx::util::IHttpAccess* access, const kx::net::URL& baseUrl);
    virtual ~ApiClient();

    // Milliseconds the "/util" "ping" call took, or PING_FAILED.
    uint32_t ping(int32_t timeoutMs = PING_TIMEOUT);
    bool accountCreate(const kx::core::String& accessId, const kx::core::String& version,
                       const Marks& marks, kx::core::String& token);
    bool accountUpdate(const kx::core::String& accessId, const kx::core::String& token,
                       const kx::core::String& version);
    bool enumTargets(const kx::core::String& token, const kx::core::Strings& names,
                     const kx::core::Strings& groups, kx::core::Array<kx::core::Any>& targets);

    // 0 after success; the JSON-RPC error code, or -1.
    int32_t lastErrorCode() const { return m_lastErrorCode; }
    const kx::core::String& lastErrorText() const { return m_lastErrorText; }
    const kx::net::URL& baseUrl() const { return m_baseUrl; }

private:
    bool _call(const kx::core::String& path, const kx::core::String& method,
               const kx::core::Dictionary<kx::core::Any>& params,
               kx::core::Dictionary<kx::core::Any>* result, int32_t timeoutMs);

    kx::util::WebClient m_webClient;
    kx::net::URL m_baseUrl;
    int32_t m_lastErrorCode = 0;
    kx::core::String m_lastErrorText;
};

}  // namespace tunnel
