#pragma once

#include <cstdint>

#include "core/src/value/Any.h"
#include "core/src/value/String.h"
#include "net/src/url/URL.h"
#include "util/src/web/WebClient.h"

namespace kx {
namespace util {

// JSON-RPC 2.0 over HTTP POST. Every failure is thrown: RpcException (and
// its subclasses) for an error object from the server, kx::core::Exception
// for everything else.
class JsonRpcClient {
public:
    JsonRpcClient(WebClient* webClient, const kx::net::URL& url);
    virtual ~JsonRpcClient() = default;

    // The "result" member of the answer (possibly null).
    kx::core::Any call(const kx::core::String& method,
                       const kx::core::Dictionary<kx::core::Any>& params);

    const kx::net::URL& url() const { return m_url; }
    void setUrl(const kx::net::URL& url) { m_url = url; }

    // The process-wide request id counter: 1, 2, ... and back to 1 before it
    // would overflow.
    static int32_t takeId();
    static void setNextIdForTests(int32_t next);

    // How many characters of an unreadable body an error message quotes.
    static const int32_t QUOTE_LIMIT = 64;

private:
    [[noreturn]] void _throwHttpFailure() const;

    WebClient* m_webClient;
    kx::net::URL m_url;
};

}  // namespace util
}  // namespace kx
