#pragma once

#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "net/src/url/URL.h"
#include "util/src/web/Cookie.h"

namespace kx {
namespace util {

// Cookies in insertion order. Domains match by suffix; paths, expiry and
// the secure flag are not taken into account.
class CookieJar {
public:
    CookieJar() = default;
    virtual ~CookieJar() = default;

    // Stores the cookie of one "Set-Cookie" value received for url. False
    // when the value is ignored: no "name=" before the first ";", control
    // characters, or a domain the url's host does not belong to.
    bool add(const kx::core::String& setCookie, const kx::net::URL& url);
    // Replaces the stored cookie of the same domain and name, else appends.
    void add(const Cookie& cookie);

    // The "Cookie" header text for url: name=value of every matching cookie,
    // in jar order, joined with "; ". Empty when none matches.
    kx::core::String cookieText(const kx::net::URL& url) const;

    const kx::core::Array<Cookie>& cookies() const { return m_cookies; }
    void clear() { m_cookies.clear(); }

    // Parses a "Set-Cookie" value; empty domain and path default to the url's
    // host (without port) and path.
    static bool parse(const kx::core::String& setCookie, const kx::net::URL& url, Cookie& out);
    static bool matches(const Cookie& cookie, const kx::net::URL& url);

private:
    kx::core::Array<Cookie> m_cookies;
};

}  // namespace util
}  // namespace kx
