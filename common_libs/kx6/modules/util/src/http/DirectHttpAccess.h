#pragma once

#include <cstdint>
#include <memory>

#include "util/src/http/IHttpAccess.h"

namespace kx {
namespace async {
class INameLookup;
class SocketReactor;
}  // namespace async
namespace web {
class DirectHttpClient;
}

namespace util {

// Blocking IHttpAccess over a DirectHttpClient: runs each request to
// completion by pumping a private reactor on the calling thread.
class DirectHttpAccess : public IHttpAccess {
public:
    static constexpr int32_t PUMP_SLICE_MS = 10;
    static constexpr int32_t DEFAULT_IDLE_KEEP_MS = 30000;
    static constexpr int32_t DEFAULT_MAX_BODY = 16 * 1024 * 1024;

    // lookup null: the system resolver (blocking, on the calling thread).
    explicit DirectHttpAccess(async::INameLookup* lookup = nullptr,
                              int32_t idleKeepMs = DEFAULT_IDLE_KEEP_MS,
                              int32_t maxBody = DEFAULT_MAX_BODY);
    ~DirectHttpAccess() override;
    DirectHttpAccess(const DirectHttpAccess&) = delete;
    DirectHttpAccess& operator=(const DirectHttpAccess&) = delete;

    bool request(const net::HttpRequest& request, net::HttpResponse* response, bool secure,
                 int32_t timeoutMs) override;

    web::DirectHttpClient& client() { return *m_client; }

private:
    class SystemLookup;

    void _pumpUntilIdle(int32_t limitMs);

    std::unique_ptr<async::SocketReactor> m_reactor;
    std::unique_ptr<async::INameLookup> m_ownLookup;
    std::unique_ptr<web::DirectHttpClient> m_client;
};

}  // namespace util
}  // namespace kx
