#include "util/src/http/DirectHttpAccess.h"

#include <utility>

#include "async/src/INameLookup.h"
#include "async/src/SocketReactor.h"
#include "core/src/debug/Assert.h"
#include "core/src/time/Timer.h"
#include "net/src/http/HttpHeaderLookup.h"
#include "net/src/socket/IpAddress.h"
#include "net/src/url/URL.h"
#include "web/src/DirectHttpClient.h"

namespace kx {
namespace util {

// Resolves through getaddrinfo on the calling thread; the result is still
// delivered through the reactor, as the lookup contract asks.
class DirectHttpAccess::SystemLookup : public async::INameLookup {
public:
    explicit SystemLookup(async::SocketReactor* reactor) : m_reactor(reactor) {}
    ~SystemLookup() override { KX_ASSERT(m_inflight == 0); }

    void lookup(const core::String& host, Callback callback) override {
        if (!callback) return;
        // IPv4 first, as always; IPv6 for literals and for names with no IPv4 address.
        core::Array<net::IpAddress> addresses = net::IpAddress::lookupAll(host);
        if (addresses.isEmpty()) addresses = net::IpAddress::lookupAllFamilies(host);
        ++m_inflight;
        m_reactor->post([this, addresses, callback]() {
            --m_inflight;
            callback(addresses);
        });
    }

private:
    async::SocketReactor* m_reactor;
    int m_inflight = 0;
};

namespace {
// Longest wait for a close still under way when an owning adapter goes away.
const int32_t SHUTDOWN_LIMIT_MS = 5000;
}  // namespace

DirectHttpAccess::DirectHttpAccess(async::INameLookup* lookup, int32_t idleKeepMs, int32_t maxBody)
    : m_ownReactor(new async::SocketReactor(PUMP_SLICE_MS)), m_reactor(m_ownReactor.get()) {
    if (!lookup) {
        m_ownLookup.reset(new SystemLookup(m_reactor));
        lookup = m_ownLookup.get();
    }
    m_ownClient.reset(new web::DirectHttpClient(m_reactor, lookup, idleKeepMs, maxBody));
    m_client = m_ownClient.get();
}

DirectHttpAccess::DirectHttpAccess(async::SocketReactor* reactor, web::DirectHttpClient* client)
    : m_reactor(reactor), m_client(client) {}

DirectHttpAccess::~DirectHttpAccess() {
    // A borrowed client's owner winds it down; an own one may only go idle.
    if (!m_ownClient) return;
    _pumpUntilIdle(SHUTDOWN_LIMIT_MS);
    // Its own timers end whatever a cancel leaves.
    m_ownClient->cancel();
    while (!m_ownClient->idle()) m_reactor->runOnce(PUMP_SLICE_MS);
    m_ownClient.reset();
    core::Timer limit(SHUTDOWN_LIMIT_MS);
    while (!m_reactor->idle() && !limit.isExpired()) m_reactor->runOnce(PUMP_SLICE_MS);
    m_ownLookup.reset();
}

void DirectHttpAccess::_pumpUntilIdle(int32_t limitMs) {
    core::Timer limit(limitMs);
    while (!limit.isExpired()) {
        if (m_client->idle() && m_reactor->idle()) return;
        m_reactor->runOnce(PUMP_SLICE_MS);
    }
}

bool DirectHttpAccess::request(const net::HttpRequest& request, net::HttpResponse* response,
                               bool secure, int32_t timeoutMs) {
    if (response) response->reset();
    m_status = -1;
    m_timedOut = false;
    m_cancelled = false;
    if (!m_reactor || !m_client) return false;
    // A completion still owed from an earlier request that ended abnormally
    // would land in this one.
    if (!m_finished || m_client->busy()) return false;
    if (_stopping()) {
        m_cancelled = true;
        return false;
    }
    try {
        net::URL url(request.url);
        web::Http::Request out;
        out.method = request.method;
        out.target = url.path().isEmpty() ? core::String(L"/") : url.path();
        if (!url.query().isEmpty()) out.target = out.target + L"?" + url.query();
        out.version = request.version.isEmpty() ? core::String(L"HTTP/1.1") : request.version;
        out.headers = request.headers;
        out.body = request.body;
        core::String authority = net::HttpHeaderLookup::value(request.headers, L"host");
        if (authority.isEmpty()) authority = url.host();

        // Started before the client's own deadline, so that it has passed
        // whenever that deadline ended the request; a backstop besides.
        core::Timer limit(timeoutMs > 0 ? timeoutMs : 0);
        m_answer = web::Http::Response();
        m_finished = false;
        m_client->request(
            authority, secure, out,
            [this](web::Http::Response& r) {
                m_answer = std::move(r);
                m_finished = true;
            },
            timeoutMs);
        bool cancelSent = false;
        while (!m_finished) {
            if (!cancelSent) {
                if (timeoutMs >= 0 && limit.isExpired()) m_timedOut = true;
                if (_stopping()) m_cancelled = true;
                if (m_timedOut || m_cancelled) {
                    m_client->cancel();
                    cancelSent = true;
                }
            }
            m_reactor->runOnce(PUMP_SLICE_MS);
        }
        m_status = m_answer.status;
        if (m_status < 0 && timeoutMs >= 0 && limit.isExpired()) m_timedOut = true;
        core::Timer settle(m_timedOut || m_cancelled ? CANCEL_SETTLE_LIMIT_MS : SETTLE_LIMIT_MS);
        while (!m_client->idle() && !settle.isExpired()) m_reactor->runOnce(PUMP_SLICE_MS);

        if (m_status < 0) return false;
        if (response) {
            response->version = m_answer.version;
            response->status = m_answer.status;
            response->reason = m_answer.reason;
            response->headers = m_answer.headers;
            response->body = std::move(m_answer.body);
        }
        return true;
    } catch (...) {
        if (response) response->reset();
        m_status = -1;
        return false;
    }
}

}  // namespace util
}  // namespace kx
