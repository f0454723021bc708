#pragma once

#include <cstdint>
#include <functional>

#include "net/src/http/HttpRequest.h"
#include "net/src/http/HttpResponse.h"
#include "web/src/Http.h"

namespace kx {
namespace async {
class SocketReactor;
}
namespace web {
class DirectHttpClient;
}
}  // namespace kx

namespace tunnel {

// One blocking exchange of a DirectHttpClient, pumped on the calling thread:
// what the API's HTTP client and the race's probe share.
class ApiExchange {
public:
    static constexpr int32_t SLICE_MS = 10;

    struct Outcome {
        kx::web::Http::Response response;  // status -1 when nothing arrived
        bool timedOut = false;
        bool cancelled = false;  // stop() asked for it
    };

    // Sends request to the authority of its "host" header (any case) and
    // pumps until the completion. The client is cancelled once, when the time
    // limit passes or stop (may be empty) turns true; the loop still waits for
    // the completion, which the client promises right after a cancel.
    static Outcome run(kx::async::SocketReactor& reactor, kx::web::DirectHttpClient& client,
                       const kx::net::HttpRequest& request, bool secure, int32_t timeoutMs,
                       const std::function<bool()>& stop);

    // Copies an answer that arrived into out (when given).
    static void copyOut(kx::web::Http::Response& from, kx::net::HttpResponse* out);
};

}  // namespace tunnel
