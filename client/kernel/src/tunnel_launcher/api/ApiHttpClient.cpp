#include "tunnel_launcher/api/ApiHttpClient.h"

#include <utility>

#include "async/src/SocketReactor.h"
#include "async/src/ThreadExecutor.h"
#include "core/src/time/Timer.h"
#include "tunnel_launcher/api/ApiExchange.h"
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
                             int32_t clientIdleTime, const kx::core::Strings& pins)
    : m_reactor(new kx::async::SocketReactor(SLICE_MS)),
      m_executor(new kx::async::ThreadExecutor()),
      m_lookup(new ApiHostLookup(m_reactor.get(), m_executor.get(), hostGroups, baseUrl, encryptorSpec, logger)),
      m_clientIdleTime(clientIdleTime),
      m_pins(pins) {
    m_lookup->setPins(pins);
}

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

void ApiHttpClient::abort() {
    m_aborted = true;
    m_lookup->abort();
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
    if (m_busy || m_aborted) return false;
    m_busy = true;
    kx::web::Http::Response answer;
    try {
        if (!m_client) {
            m_client.reset(new kx::web::DirectHttpClient(m_reactor.get(), m_lookup.get(), m_clientIdleTime,
                                                         MAX_BODY));
            m_client->tlsSettings().setPins(m_pins);
        }
        ApiExchange::Outcome outcome = ApiExchange::run(*m_reactor, *m_client, request, secure, timeoutMs,
                                                         [this]() { return m_aborted.load(); });
        answer = std::move(outcome.response);
        _pumpUntil([this]() { return m_client->idle(); },
                   outcome.timedOut || outcome.cancelled ? CANCELLED_IDLE_LIMIT : IDLE_WAIT_LIMIT);
    } catch (...) {
        answer = kx::web::Http::Response();
    }
    m_busy = false;

    if (answer.status < 0) {
        if (response) {
            response->version = L"HTTP/1.1";
            response->status = kx::net::HttpResponse::NO_STATUS;
            // A refused certificate is named: it is a different fault from a
            // network that does not answer, and the user can act on it.
            String why;
            if (m_lookup->lastLookupEmpty()) {
                response->reason = REASON_NO_ADDRESS;
                why = m_lookup->lastFailureText();
            } else {
                response->reason = REASON_NO_CONNECTION;
                if (m_client) why = m_client->lastErrorText();
            }
            if (!why.isEmpty()) response->reason += L" (" + why + L")";
        }
        return false;
    }
    ApiExchange::copyOut(answer, response);
    return true;
}

}  // namespace tunnel
