#include "util/src/web/WebClient.h"

#include <algorithm>

#include "net/src/http/HttpHeaderLookup.h"
#include "net/src/http/HttpRequest.h"

namespace kx {
namespace util {

using kx::core::String;
using kx::net::HttpHeaderLookup;
using kx::net::HttpHeaders;
using kx::net::HttpRequest;
using kx::net::URL;

namespace {

// Sets name, dropping any header of the same name in another case first:
// header names are case-insensitive, so "accept" replaces "Accept".
void setHeader(HttpHeaders& headers, const String& name, const String& value) {
    const String lower = name.toLower();
    for (auto it = headers.begin(); it != headers.end(); ++it) {
        if (it->first != name && it->first.toLower() == lower) {
            headers.remove(String(it->first));
            break;  // at most one: every insertion goes through here
        }
    }
    headers.set(name, value);
}

bool hasControl(const String& text) {
    for (wchar_t ch : text) {
        if (ch < 0x20 || ch == 0x7F) return true;
    }
    return false;
}

}  // namespace

WebClient::WebClient(IHttpAccess* access)
    : m_access(access),
      m_requestTimeout(DEFAULT_REQUEST_TIMEOUT),
      m_totalTimeout(DEFAULT_TOTAL_TIMEOUT),
      m_redirectDepth(0) {}

bool WebClient::request(const String& method, const URL& url, const Headers& headers,
                        const Content& content, bool followRedirects) {
    if (!m_access) return false;
    m_lastResponse.reset();
    if (m_redirectDepth == 0) m_deadline.start(m_totalTimeout);
    // A negative overall limit means none; 0 leaves no time at all.
    const bool limited = m_totalTimeout >= 0;
    if (limited && m_deadline.isExpired()) return false;
    return _send(method, url, headers, content, followRedirects);
}

bool WebClient::_send(const String& method, const URL& url, const Headers& extra,
                      const Content& content, bool followRedirects) {
    String target = url.toString(false, false, true, true, false);
    if (target.isEmpty() || target.startsWith(L"?")) target = String(L"/") + target;

    HttpRequest httpRequest;
    httpRequest.method = method;
    httpRequest.url = url.toString(true, true, false, false, false) + target;
    httpRequest.version = L"HTTP/1.1";
    HttpHeaders& headers = httpRequest.headers;
    headers.set(L"Host", url.host());
    headers.set(L"Accept", L"*/*");
    headers.set(L"Accept-Language", L"zh-cn");
    headers.set(L"Cache-Control", L"no-cache");
    headers.set(L"Cookie", m_cookieJar.cookieText(url));
    headers.set(L"Connection", L"Keep-Alive");
    for (const auto& entry : extra) setHeader(headers, entry.first, entry.second);
    if (!m_userAgent.isEmpty()) setHeader(headers, L"User-Agent", m_userAgent);
    // A fragment never leaves the client.
    const String referer = m_referer.toString(true, true, true, true, false);
    if (!referer.isEmpty()) setHeader(headers, L"Referer", referer);

    const bool post = method == String(L"POST");
    if (post) setHeader(headers, L"Origin", url.toString(true, true, false, false, false));
    if (post || method == String(L"PUT")) {
        setHeader(headers, L"Content-Type", content.type);
        setHeader(headers, L"Content-Length", String::fromInt32(content.body.length()));
        httpRequest.body = content.body;
    }

    const bool secure = url.scheme().toLower() == String(L"https");
    int32_t timeout = m_requestTimeout;
    if (m_totalTimeout >= 0) {
        const int32_t remaining = m_deadline.remaining();
        timeout = timeout < 0 ? remaining : std::min(timeout, remaining);
    }

    if (!m_access->request(httpRequest, &m_lastResponse, secure, timeout)) return false;

    if (const String* setCookie = HttpHeaderLookup::find(m_lastResponse.headers, L"Set-Cookie")) {
        int32_t pos = 0;
        while (pos <= setCookie->length()) {
            int32_t end = setCookie->indexOf(String(L"\r\n"), pos);
            if (end < 0) end = setCookie->length();
            if (end > pos) m_cookieJar.add(setCookie->substring(pos, end - pos), url);
            pos = end + 2;
        }
    }

    const int32_t status = m_lastResponse.status;
    if (status >= 300 && status <= 399) {
        URL next;
        if (!followRedirects || m_redirectDepth > MAX_REDIRECT_DEPTH ||
            !_redirectTarget(url, next)) {
            return true;
        }
        ++m_redirectDepth;
        const bool result = request(method, next, extra, content, followRedirects);
        --m_redirectDepth;
        return result;
    }
    if (status < 200 || status > 299) return false;
    m_lastUrl = url;
    return true;
}

bool WebClient::_redirectTarget(const URL& current, URL& next) const {
    const String* found = HttpHeaderLookup::find(m_lastResponse.headers, L"Location");
    if (!found) return false;
    const String location = *found;
    // Nothing to go to, or a target that could smuggle lines into the head.
    if (location.isEmpty() || hasControl(location)) return false;

    if (location.startsWith(L"//")) {
        next = URL(current.scheme() + L":" + location);
    } else if (location.startsWith(L"/")) {
        next = URL(current.toString(true, true, false, false, false) + location);
    } else {
        next = URL(location);
        if (next.scheme().isEmpty()) {
            // A relative reference: resolve against the current path's directory.
            const String& path = current.path();
            const int32_t slash = path.lastIndexOf(L'/');
            String base = slash < 0 ? String(L"/") : path.substring(0, slash + 1);
            if (location.startsWith(L"?")) base = path.isEmpty() ? String(L"/") : path;
            next = URL(current.toString(true, true, false, false, false) + base + location);
        }
    }
    return true;
}

}  // namespace util
}  // namespace kx
