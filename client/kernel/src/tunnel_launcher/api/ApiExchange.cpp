#include "tunnel_launcher/api/ApiExchange.h"

#include <utility>

#include "async/src/SocketReactor.h"
#include "core/src/time/Timer.h"
#include "net/src/http/HttpHeaderLookup.h"
#include "net/src/url/URL.h"
#include "web/src/DirectHttpClient.h"

namespace tunnel {

using kx::core::String;

ApiExchange::Outcome ApiExchange::run(kx::async::SocketReactor& reactor, kx::web::DirectHttpClient& client,
                                      const kx::net::HttpRequest& request, bool secure, int32_t timeoutMs,
                                      const std::function<bool()>& stop) {
    kx::net::URL url(request.url);
    kx::web::Http::Request out;
    out.method = request.method;
    out.target = url.path().isEmpty() ? String(L"/") : url.path();
    if (!url.query().isEmpty()) out.target += L"?" + url.query();
    out.version = request.version;
    out.headers = request.headers;
    out.body = request.body;
    const String authority = kx::net::HttpHeaderLookup::value(request.headers, L"host");

    Outcome outcome;
    bool finished = false;
    client.request(
        authority, secure, out,
        [&finished, &outcome](kx::web::Http::Response& r) {
            outcome.response = std::move(r);
            finished = true;
        },
        timeoutMs);
    kx::core::Timer timer(timeoutMs > 0 ? timeoutMs : 0);
    bool cancelSent = false;
    while (!finished) {
        if (!cancelSent) {
            if (timeoutMs >= 0 && timer.isExpired()) outcome.timedOut = true;
            if (stop && stop()) outcome.cancelled = true;
            if (outcome.timedOut || outcome.cancelled) {
                client.cancel();
                cancelSent = true;
            }
        }
        reactor.runOnce(SLICE_MS);
    }
    return outcome;
}

void ApiExchange::copyOut(kx::web::Http::Response& from, kx::net::HttpResponse* out) {
    if (!out) return;
    out->version = from.version;
    out->status = from.status;
    out->reason = from.reason;
    out->headers = from.headers;
    out->body = std::move(from.body);
}

}  // namespace tunnel
