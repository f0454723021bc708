#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "util/src/http/IHttpAccess.h"
#include "web/src/Http.h"

namespace kx {
namespace async {
class INameLookup;
class SocketReactor;
}  // namespace async
namespace web {
class DirectHttpClient;
}

namespace util {

// The blocking exchange over a DirectHttpClient: each request runs to its
// completion by pumping the client's reactor on the calling thread. Either
// owns its reactor and client, or borrows those of an owner that sets up the
// client itself (name lookup, pins) and reads what the exchange left behind.
class DirectHttpAccess : public IHttpAccess {
public:
    static constexpr int32_t PUMP_SLICE_MS = 10;
    static constexpr int32_t DEFAULT_IDLE_KEEP_MS = 30000;
    static constexpr int32_t DEFAULT_MAX_BODY = 16 * 1024 * 1024;
    // Once an answer is in, the client is given this long to settle (finish
    // reading, close or park the connection) before the next request...
    static constexpr int32_t SETTLE_LIMIT_MS = 10000;
    // ... and only this long after a cancel or a time limit.
    static constexpr int32_t CANCEL_SETTLE_LIMIT_MS = 200;

    // Owns a reactor and a client. lookup null: the system resolver
    // (blocking, on the calling thread).
    explicit DirectHttpAccess(async::INameLookup* lookup = nullptr,
                              int32_t idleKeepMs = DEFAULT_IDLE_KEEP_MS,
                              int32_t maxBody = DEFAULT_MAX_BODY);
    // Borrows both; they must outlive this object.
    DirectHttpAccess(async::SocketReactor* reactor, web::DirectHttpClient* client);
    ~DirectHttpAccess() override;
    DirectHttpAccess(const DirectHttpAccess&) = delete;
    DirectHttpAccess& operator=(const DirectHttpAccess&) = delete;

    // Sent to the authority of the request's "Host" header (any case), else
    // to the URL's. The client is cancelled once, when timeoutMs passes or
    // stop turns true; the completion still ends the wait.
    bool request(const net::HttpRequest& request, net::HttpResponse* response, bool secure,
                 int32_t timeoutMs) override;

    // Polled between pump slices; true ends the request under way, and a
    // request asked for while it holds fails at once. May be empty.
    std::function<bool()> stop;

    // What the last request ended with: the status (-1 when nothing arrived),
    // whether its time limit passed first, whether stop cut it short.
    int32_t status() const { return m_status; }
    bool timedOut() const { return m_timedOut; }
    bool cancelled() const { return m_cancelled; }

    web::DirectHttpClient& client() { return *m_client; }

private:
    class SystemLookup;

    bool _stopping() const { return stop && stop(); }
    void _pumpUntilIdle(int32_t limitMs);

    std::unique_ptr<async::SocketReactor> m_ownReactor;
    std::unique_ptr<async::INameLookup> m_ownLookup;
    std::unique_ptr<web::DirectHttpClient> m_ownClient;
    async::SocketReactor* m_reactor;
    web::DirectHttpClient* m_client = nullptr;
    // The completion writes here, not into the caller's frame.
    web::Http::Response m_answer;
    bool m_finished = true;
    int32_t m_status = -1;
    bool m_timedOut = false;
    bool m_cancelled = false;
};

}  // namespace util
}  // namespace kx
