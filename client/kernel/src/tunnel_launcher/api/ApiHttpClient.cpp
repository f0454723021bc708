#include "tunnel_launcher/api/ApiHttpClient.h"

#include <utility>

#include "async/src/SocketReactor.h"
#include "async/src/ThreadExecutor.h"
#include "core/src/time/Timer.h"
#include "net/src/http/HttpHeaderLookup.h"
#include "tunnel_launcher/api/ApiHostLookup.h"
#include "web/src/DirectHttpClient.h"

namespace tunnel {

using kx::core::String;

namespace {

const wchar_t* const REASON_NO_ADDRESS = L"无可用解析";
const wchar_t* const REASON_NO_CONNECTION = L"无法连接";
// After a cancel the client needs a slice or two to close; a race it still
// waits on is left to finish in the background.
const int32_t CANCELLED_IDLE_LIMIT = 200;

}  // namespace

ApiHttpClient::ApiHttpClient(const kx::net::URL& baseUrl, const kx::core::Array<kx::core::Strings>& hostGroups,
                             const String& encryptorSpec, kx::util::ILogRecorder* logger,
                             int32_t clientIdleTime)
    : m_reactor(new kx::async::SocketReactor(SLICE_MS)),
      m_executor(new kx::async::ThreadExecutor()),
      m_lookup(new ApiHostLookup(m_reactor.get(), m_executor.get(), hostGroups, baseUrl, encryptorSpec, logger)),
      m_clientIdleTime(clientIdleTime) {}

ApiHttpClient::~ApiHttpClient() {
    // Races still running would only delay the end: make them give up.
    m_lookup->abort();
    if (m_client) {
        if (!m_client->idle()) m_client->cancel();
        _pumpUntil([this]() { return m_client->idle() && m_reactor->idle(); }, IDLE_WAIT_LIMIT);
        // The client may only go away idle, and it is not idle while a race
        // it asked for is outstanding; that race is bounded and aborted.
        _pumpUntil([this]() { return m_client->idle(); }, -1);
        m_client.reset();
        _pumpUntil([this]() { return m_reactor->idle(); }, IDLE_WAIT_LIMIT);
    }
    _pumpUntil([this]() { return m_executor->idle() && m_lookup->inflight() == 0; }, -1);
    m_lookup.reset();
    m_executor.reset();
}

void ApiHttpClient::_pumpUntil(const std::function<bool()>& done, int32_t limitMs) {
    kx::core::Timer limit(limitMs > 0 ? limitMs : 0);
    while (!done()) {
        if (limitMs >= 0 && limit.isExpired()) return;
        m_reactor->runOnce(SLICE_MS);
    }
}

bool ApiHttpClient::request(const kx::net::HttpRequest& request, kx::net::HttpResponse* response,
                            bool secure, int32_t timeoutMs) {
    if (response) response->reset();
    if (m_busy) return false;
    m_busy = true;
    kx::web::Http::Response answer;
    try {
        if (!m_client) {
            m_client.reset(new kx::web::DirectHttpClient(m_reactor.get(), m_lookup.get(), m_clientIdleTime,
                                                         MAX_BODY));
        }
        kx::net::URL url(request.url);
        kx::web::Http::Request out;
        out.method = request.method;
        out.target = url.path().isEmpty() ? String(L"/") : url.path();
        if (!url.query().isEmpty()) out.target += L"?" + url.query();
        out.version = request.version;
        out.headers = request.headers;
        out.body = request.body;
        const String authority = kx::net::HttpHeaderLookup::value(request.headers, L"host");

        bool finished = false;
        m_client->request(
            authority, secure, out,
            [&finished, &answer](kx::web::Http::Response& r) {
                answer = std::move(r);
                finished = true;
            },
            timeoutMs);
        kx::core::Timer timer(timeoutMs > 0 ? timeoutMs : 0);
        bool cancelled = false;
        while (!finished) {
            if (!cancelled && timeoutMs >= 0 && timer.isExpired()) {
                m_client->cancel();
                cancelled = true;
            }
            m_reactor->runOnce(SLICE_MS);
        }
        _pumpUntil([this]() { return m_client->idle(); }, cancelled ? CANCELLED_IDLE_LIMIT : IDLE_WAIT_LIMIT);
    } catch (...) {
        answer = kx::web::Http::Response();
    }
    m_busy = false;

    if (answer.status < 0) {
        if (response) {
            response->version = L"HTTP/1.1";
            response->status = kx::net::HttpResponse::NO_STATUS;
            response->reason = m_lookup->lastLookupEmpty() ? REASON_NO_ADDRESS : REASON_NO_CONNECTION;
        }
        return false;
    }
    if (response) {
        response->version = answer.version;
        response->status = answer.status;
        response->reason = answer.reason;
        response->headers = answer.headers;
        response->body = std::move(answer.body);
    }
    return true;
}

}  // namespace tunnel
