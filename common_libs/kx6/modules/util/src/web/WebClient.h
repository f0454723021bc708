#pragma once

#include <cstdint>

#include "core/src/time/Timer.h"
#include "core/src/value/Binary.h"
#include "core/src/value/Map.h"
#include "core/src/value/String.h"
#include "net/src/http/HttpResponse.h"
#include "net/src/url/URL.h"
#include "util/src/http/IHttpAccess.h"
#include "util/src/web/CookieJar.h"

namespace kx {
namespace util {

// Browser-like requests over an IHttpAccess: standard headers, cookies,
// redirects and two time limits (per exchange and for the whole request,
// redirects included). Used by one thread at a time.
class WebClient {
public:
    typedef kx::core::Map<kx::core::String, kx::core::String> Headers;

    // The body of a POST or PUT and its media type.
    struct Content {
        Content() = default;
        Content(kx::core::String type, kx::core::Binary body)
            : type(std::move(type)), body(std::move(body)) {}
        kx::core::String type;
        kx::core::Binary body;
    };

    static const int32_t DEFAULT_REQUEST_TIMEOUT = 20000;
    static const int32_t DEFAULT_TOTAL_TIMEOUT = 45000;
    // Redirects are followed while the depth is at most this.
    static const int32_t MAX_REDIRECT_DEPTH = 19;

    explicit WebClient(IHttpAccess* access);
    virtual ~WebClient() = default;

    // True for a 2xx answer, and for a 3xx answer that is not followed.
    // Otherwise false; a response that did arrive stays in lastResponse().
    bool request(const kx::core::String& method, const kx::net::URL& url, const Headers& headers,
                 const Content& content, bool followRedirects);

    const kx::net::HttpResponse& lastResponse() const { return m_lastResponse; }
    // The URL of the last request that ended with a 2xx answer.
    const kx::net::URL& lastUrl() const { return m_lastUrl; }
    CookieJar& cookieJar() { return m_cookieJar; }
    const CookieJar& cookieJar() const { return m_cookieJar; }

    IHttpAccess* access() const { return m_access; }
    void setAccess(IHttpAccess* access) { m_access = access; }
    const kx::core::String& userAgent() const { return m_userAgent; }
    void setUserAgent(const kx::core::String& value) { m_userAgent = value; }
    const kx::net::URL& referer() const { return m_referer; }
    void setReferer(const kx::net::URL& value) { m_referer = value; }
    // Negative: no limit.
    int32_t requestTimeout() const { return m_requestTimeout; }
    void setRequestTimeout(int32_t ms) { m_requestTimeout = ms; }
    int32_t totalTimeout() const { return m_totalTimeout; }
    void setTotalTimeout(int32_t ms) { m_totalTimeout = ms; }

private:
    bool _send(const kx::core::String& method, const kx::net::URL& url, const Headers& headers,
               const Content& content, bool followRedirects);
    bool _redirectTarget(const kx::net::URL& current, kx::net::URL& next) const;

    IHttpAccess* m_access;
    CookieJar m_cookieJar;
    kx::core::String m_userAgent;
    kx::net::URL m_referer;
    kx::net::URL m_lastUrl;
    kx::net::HttpResponse m_lastResponse;
    int32_t m_requestTimeout;
    int32_t m_totalTimeout;
    int32_t m_redirectDepth;
    kx::core::Timer m_deadline;
};

}  // namespace util
}  // namespace kx
