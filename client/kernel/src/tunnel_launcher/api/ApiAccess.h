#pragma once

#include <cstdint>
#include <memory>

#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "core/src/value/Strings.h"
#include "net/src/url/URL.h"
#include "util/src/http/IHttpAccess.h"

namespace kx {
namespace util {
class ILogRecorder;
}
}  // namespace kx

namespace tunnel {

class ApiHttpClient;
class EncryptedHttpClient;
class SharedHttpClient;

// The launcher's HTTP access to the control API: one request at a time
// (shared by the worker and the refresh thread), bodies enciphered, sent to
// the address that won the host race. Safe to call from several threads.
class ApiAccess : public kx::util::IHttpAccess {
public:
    static constexpr int32_t CLIENT_IDLE_TIME = 120000;

    ApiAccess(const kx::net::URL& url, const kx::core::Array<kx::core::Strings>& hostGroups,
              const kx::core::String& encryptorSpec, kx::util::ILogRecorder* logger,
              int32_t clientIdleTime = CLIENT_IDLE_TIME,
              const kx::core::Strings& pins = kx::core::Strings());
    ~ApiAccess() override;
    ApiAccess(const ApiAccess&) = delete;
    ApiAccess& operator=(const ApiAccess&) = delete;

    bool request(const kx::net::HttpRequest& request, kx::net::HttpResponse* response, bool secure,
                 int32_t timeoutMs) override;

    // From any thread: a request under way ends at once with a failure, and
    // so does every later one. Used when the SDK stops during a refresh.
    void abort();

private:
    std::unique_ptr<ApiHttpClient> m_http;
    std::unique_ptr<EncryptedHttpClient> m_encrypted;
    std::unique_ptr<SharedHttpClient> m_shared;
};

}  // namespace tunnel
