#include "tunnel_launcher/api/ApiHttpClient.h"

#include <utility>

#include "async/src/SocketReactor.h"
#include "async/src/ThreadExecutor.h"
#include "core/src/time/Timer.h"
#include "tunnel_launcher/api/ApiHostLookup.h"
#include "util/src/http/DirectHttpAccess.h"
#include "web/src/DirectHttpClient.h"

namespace tunnel {

using kx::core::String;

namespace {

const wchar_t* const REASON_NO_ADDRESS = L"无可用解析";
const wchar_t* const REASON_NO_CONNECTION = L"无法连接";

}  // namespace

ApiHttpClient::ApiHttpClient(const kx::net::URL& baseUrl,
                             const kx::core::Array<kx::core::Strings>& hostGroups,
                             const String& encryptorSpec, kx::util::ILogRecorder* logger,
                             int32_t clientIdleTime, const kx::core::Strings& pins)
    : m_reactor(new kx::async::SocketReactor(SLICE_MS)),
      m_executor(new kx::async::ThreadExecutor()),
      m_lookup(new ApiHostLookup(m_reactor.get(), m_executor.get(), hostGroups, baseUrl,
                                 encryptorSpec, logger)),
      m_clientIdleTime(clientIdleTime),
      m_pins(pins) {
    m_lookup->setPins(pins);
}

ApiHttpClient::~ApiHttpClient() {
    // Races still running would only delay the end: make them give up.
    m_lookup->abort();
    m_access.reset();
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
    bool answered = false;
    try {
        if (!m_client) {
            m_client.reset(new kx::web::DirectHttpClient(m_reactor.get(), m_lookup.get(),
                                                         m_clientIdleTime, MAX_BODY));
            m_client->tlsSettings().setPins(m_pins);
            m_access.reset(new kx::util::DirectHttpAccess(m_reactor.get(), m_client.get()));
            m_access->stop = [this]() { return m_aborted.load(); };
        }
        answered = m_access->request(request, response, secure, timeoutMs);
    } catch (...) {
        answered = false;
    }
    m_busy = false;

    if (!answered) {
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
    return true;
}

}  // namespace tunnel
