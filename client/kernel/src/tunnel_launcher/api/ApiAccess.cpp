#include "tunnel_launcher/api/ApiAccess.h"

#include "tunnel_launcher/api/ApiHttpClient.h"
#include "tunnel_launcher/api/EncryptedHttpClient.h"
#include "tunnel_launcher/api/SharedHttpClient.h"

namespace tunnel {

ApiAccess::ApiAccess(const kx::net::URL& url, const kx::core::Array<kx::core::Strings>& hostGroups,
                     const kx::core::String& encryptorSpec, kx::util::ILogRecorder* logger,
                     int32_t clientIdleTime, const kx::core::Strings& pins)
    : m_http(new ApiHttpClient(url, hostGroups, encryptorSpec, logger, clientIdleTime, pins)),
      m_encrypted(new EncryptedHttpClient(m_http.get(), encryptorSpec)),
      m_shared(new SharedHttpClient(m_encrypted.get())) {}

ApiAccess::~ApiAccess() {
    // Callers are gone (the refresh thread was joined): no request can still
    // be inside while the layers go, top first.
    m_shared.reset();
    m_encrypted.reset();
    m_http.reset();
}

void ApiAccess::abort() { m_http->abort(); }

bool ApiAccess::request(const kx::net::HttpRequest& request, kx::net::HttpResponse* response, bool secure,
                        int32_t timeoutMs) {
    return m_shared->request(request, response, secure, timeoutMs);
}

}  // namespace tunnel
