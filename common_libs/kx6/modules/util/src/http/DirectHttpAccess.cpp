#include "util/src/http/DirectHttpAccess.h"

#include <utility>

#include "async/src/INameLookup.h"
#include "async/src/SocketReactor.h"
#include "core/src/debug/Assert.h"
#include "core/src/time/Timer.h"
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
// Extra time past the caller's limit before the request is cancelled; the
// client's own deadline normally ends it first.
const int32_t GRACE_MS = 2000;
// Longest wait for a close still under way when the adapter goes away.
const int32_t SHUTDOWN_LIMIT_MS = 5000;
}  // namespace

DirectHttpAccess::DirectHttpAccess(async::INameLookup* lookup, int32_t idleKeepMs, int32_t maxBody)
    : m_reactor(new async::SocketReactor(PUMP_SLICE_MS)) {
    if (!lookup) {
        m_ownLookup.reset(new SystemLookup(m_reactor.get()));
        lookup = m_ownLookup.get();
    }
    m_client.reset(new web::DirectHttpClient(m_reactor.get(), lookup, idleKeepMs, maxBody));
}

DirectHttpAccess::~DirectHttpAccess() {
    _pumpUntilIdle(SHUTDOWN_LIMIT_MS);
    m_client.reset();
    _pumpUntilIdle(SHUTDOWN_LIMIT_MS);
    m_ownLookup.reset();
}

void DirectHttpAccess::_pumpUntilIdle(int32_t limitMs) {
    core::Timer limit(limitMs);
    while (!limit.isExpired()) {
        bool clientIdle = !m_client || m_client->idle();
        if (clientIdle && m_reactor->idle()) return;
        m_reactor->runOnce(PUMP_SLICE_MS);
    }
}

bool DirectHttpAccess::request(const net::HttpRequest& request, net::HttpResponse* response,
                               bool secure, int32_t timeoutMs) {
    if (response) response->reset();
    try {
        net::URL url(request.url);
        web::Http::Request out;
        out.method = request.method;
        out.target = url.path().isEmpty() ? core::String(L"/") : url.path();
        if (!url.query().isEmpty()) out.target = out.target + L"?" + url.query();
        out.version = request.version.isEmpty() ? core::String(L"HTTP/1.1") : request.version;
        out.headers = request.headers;
        out.body = request.body;

        bool done = false;
        web::Http::Response result;
        m_client->request(
            url.host(), secure, out,
            [&done, &result](web::Http::Response& r) {
                result = std::move(r);
                done = true;
            },
            timeoutMs);
        core::Timer limit(timeoutMs >= 0 ? timeoutMs + GRACE_MS : 0);
        bool cancelled = false;
        while (!done) {
            if (timeoutMs >= 0 && limit.isExpired() && !cancelled) {
                m_client->cancel();
                cancelled = true;
            }
            m_reactor->runOnce(PUMP_SLICE_MS);
        }
        if (result.status < 0) return false;
        if (response) {
            response->version = result.version;
            response->status = result.status;
            response->reason = result.reason;
            response->headers = result.headers;
            response->body = std::move(result.body);
        }
        return true;
    } catch (...) {
        if (response) response->reset();
        return false;
    }
}

}  // namespace util
}  // namespace kx
