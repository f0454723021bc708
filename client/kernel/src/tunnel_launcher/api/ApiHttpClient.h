#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "core/src/value/Strings.h"
#include "net/src/url/URL.h"
#include "util/src/http/IHttpAccess.h"

namespace kx {
namespace async {
class SocketReactor;
class ThreadExecutor;
}  // namespace async
namespace web {
class DirectHttpClient;
}
namespace util {
class DirectHttpAccess;
class ILogRecorder;
}  // namespace util
}  // namespace kx

namespace tunnel {

class ApiHostLookup;

// The bottom of the control-API stack: each blocking request is one
// DirectHttpAccess exchange on a private reactor pumped on the calling thread.
// Names resolve through the API host race. One caller at a time. An https
// API is verified (system trust store, the URL's host name, the pins when
// given); a server that fails is refused, never used unverified.
class ApiHttpClient : public kx::util::IHttpAccess {
public:
    static constexpr int32_t SLICE_MS = 10;
    static constexpr int32_t IDLE_WAIT_LIMIT = 10000;
    // An API answer is a few kilobytes; a hostile one must not take the device down.
    static constexpr int32_t MAX_BODY = 0xA00000;

    ApiHttpClient(const kx::net::URL& baseUrl, const kx::core::Array<kx::core::Strings>& hostGroups,
                  const kx::core::String& encryptorSpec, kx::util::ILogRecorder* logger,
                  int32_t clientIdleTime, const kx::core::Strings& pins = kx::core::Strings());
    ~ApiHttpClient() override;
    ApiHttpClient(const ApiHttpClient&) = delete;
    ApiHttpClient& operator=(const ApiHttpClient&) = delete;

    bool request(const kx::net::HttpRequest& request, kx::net::HttpResponse* response, bool secure,
                 int32_t timeoutMs) override;

    // From any thread: the request in flight (and every later one) gives up
    // within one pump slice, so the SDK can stop while a refresh is under way.
    void abort();

    ApiHostLookup& lookup() { return *m_lookup; }
    // Null before the first request.
    kx::web::DirectHttpClient* client() { return m_client.get(); }

private:
    void _pumpUntil(const std::function<bool()>& done, int32_t limitMs);

    std::unique_ptr<kx::async::SocketReactor> m_reactor;
    std::unique_ptr<kx::async::ThreadExecutor> m_executor;
    std::unique_ptr<ApiHostLookup> m_lookup;
    std::unique_ptr<kx::web::DirectHttpClient> m_client;
    std::unique_ptr<kx::util::DirectHttpAccess> m_access;  // over m_client
    int32_t m_clientIdleTime;
    kx::core::Strings m_pins;
    bool m_busy = false;
    std::atomic<bool> m_aborted{false};
};

}  // namespace tunnel
