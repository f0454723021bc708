#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/src/time/Timer.h"
#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "net/src/socket/IpAddress.h"
#include "tls/src/TlsSettings.h"
#include "web/src/Http.h"

namespace kx {
namespace async {
class INameLookup;
class SocketReactor;
class TcpSocket;
}  // namespace async
namespace tls {
class TlsFilter;
}

namespace web {

class HttpClientExchange;
class HttpClientSession;

// HTTP/1.1 client for one request at a time over one reusable connection:
// lookup, address-by-address connect, optional TLS, keep-alive with one
// retry when a kept connection turns out stale. Every failure ends in one
// completion with status -1. Single-threaded on the reactor's thread.
class DirectHttpClient {
public:
    typedef std::function<void(Http::Response&)> Completion;

    static constexpr int32_t CONNECT_LIMIT_MS = 7000;

    // idleKeepMs < 1: never keep a connection. maxBody < 0: no maximum.
    DirectHttpClient(async::SocketReactor* reactor, async::INameLookup* lookup, int32_t idleKeepMs,
                     int32_t maxBody);
    // Requires idle().
    ~DirectHttpClient();
    DirectHttpClient(const DirectHttpClient&) = delete;
    DirectHttpClient& operator=(const DirectHttpClient&) = delete;

    // authority: host, optionally ":" and a port. timeoutMs < 0: no deadline.
    void request(const core::String& authority, bool secure, const Http::Request& request,
                 Completion completion, int32_t timeoutMs);
    // Ends the pending request with a failure.
    void cancel();
    bool idle() const;

    tls::TlsSettings& tlsSettings() { return m_tls; }
    // Why the last request failed when TLS refused the server ("certificate
    // ..." when it could not be verified); empty otherwise.
    const core::String& lastErrorText() const { return m_errorText; }
    bool busy() const { return m_busy; }
    // The current (or last) exchange ran on a kept connection.
    bool reused() const { return m_reused; }
    bool retried() const { return m_retried; }
    uint32_t attemptId() const { return m_attemptId; }
    // Connections opened so far (for tests and diagnostics).
    int32_t connectCount() const { return m_connectCount; }

private:
    void _postFail(Completion completion);
    void _beginAttempt();
    void _resolve();
    void _connectNext();
    void _retryNextAddr();
    void _onConnected();
    void _doExchange();
    void _onExchangeFail();
    void _finishOk(Http::Response& response);
    void _failAndClose();
    void _complete(Http::Response& response);
    // Closes every layer (orderly unless graceful is false), then runs next.
    void _closeConnThen(std::function<void()> next, bool graceful = true);
    void _dropLayers();
    bool _deadlineExpired() const { return !m_noDeadline && m_deadline.isExpired(); }
    // Remaining time, -1 without a deadline.
    int32_t _remaining() const;

    async::SocketReactor* m_reactor;
    async::INameLookup* m_lookup;
    tls::TlsSettings m_tls;
    core::Timer m_idleTimer;
    int32_t m_maxBody;
    uint32_t m_attemptId = 0;
    bool m_busy = false;
    bool m_closing = false;
    bool m_reused = false;
    bool m_retried = false;
    bool m_secure = false;
    bool m_lastSecure = false;
    core::String m_authority;
    core::String m_errorText;
    core::String m_lastAuthority;
    core::String m_host;
    int32_t m_port = 0;
    Http::Request m_request;
    Completion m_completion;
    core::Timer m_deadline;
    bool m_noDeadline = true;
    core::Array<net::IpAddress> m_addresses;
    int32_t m_addressIndex = 0;
    int32_t m_lookups = 0;
    int32_t m_connectCount = 0;
    std::unique_ptr<async::TcpSocket> m_socket;
    std::unique_ptr<tls::TlsFilter> m_filter;
    std::unique_ptr<HttpClientSession> m_session;
    std::unique_ptr<HttpClientExchange> m_exchange;
    std::vector<std::function<void()>> m_closeWaiters;
};

}  // namespace web
}  // namespace kx
