#include "util/src/web/CookieJar.h"

namespace kx {
namespace util {

using kx::core::String;
using kx::net::URL;

namespace {

bool isSpace(wchar_t ch) {
    return ch == L' ' || ch == L'\t' || ch == L'\r' || ch == L'\n';
}

String trim(const String& text) {
    int32_t first = 0;
    int32_t last = text.length();
    while (first < last && isSpace(text.data()[first])) ++first;
    while (last > first && isSpace(text.data()[last - 1])) --last;
    return text.substring(first, last - first);
}

bool hasControl(const String& text) {
    for (wchar_t ch : text) {
        if (ch < 0x20 || ch == 0x7F) return true;
    }
    return false;
}

// The authority without its port: cookies do not depend on the port.
String hostName(const String& authority) {
    if (authority.startsWith(L"[")) {
        const int32_t close = authority.indexOf(L']');
        return close < 0 ? authority : authority.substring(0, close + 1);
    }
    const int32_t colon = authority.lastIndexOf(L':');
    if (colon < 0) return authority;
    for (int32_t i = colon + 1; i < authority.length(); ++i) {
        if (authority.data()[i] < L'0' || authority.data()[i] > L'9') return authority;
    }
    return authority.substring(0, colon);
}

// Lower-cased, without a leading "*." or ".".
String normalDomain(const String& domain) {
    String out = domain.toLower();
    if (out.startsWith(L"*.")) out = out.substring(2);
    if (out.startsWith(L".")) out = out.substring(1);
    return out;
}

bool domainMatches(const String& normalHost, const String& normalDomain) {
    if (normalHost == normalDomain) return true;
    return normalHost.length() > normalDomain.length() &&
           normalHost.endsWith(String(L".") + normalDomain);
}

}  // namespace

bool CookieJar::parse(const String& setCookie, const URL& url, Cookie& out) {
    // The pair ends at the first ";" so that a value-less first piece cannot
    // swallow the attributes into the name.
    int32_t end = setCookie.indexOf(L';');
    if (end < 0) end = setCookie.length();
    const String pair = setCookie.substring(0, end);
    const int32_t equals = pair.indexOf(L'=');
    if (equals < 0) return false;
    Cookie cookie;
    cookie.name = trim(pair.substring(0, equals));
    cookie.value = trim(pair.substring(equals + 1));
    if (cookie.name.isEmpty() || hasControl(cookie.name) || hasControl(cookie.value)) return false;

    int32_t pos = end + 1;
    while (pos < setCookie.length()) {
        int32_t next = setCookie.indexOf(L';', pos);
        if (next < 0) next = setCookie.length();
        const String attribute = setCookie.substring(pos, next - pos);
        const int32_t eq = attribute.indexOf(L'=');
        const String name = trim(eq < 0 ? attribute : attribute.substring(0, eq)).toLower();
        const String value = eq < 0 ? String() : trim(attribute.substring(eq + 1));
        if (name == String(L"domain")) {
            cookie.domain = value;
        } else if (name == String(L"path")) {
            cookie.path = value;
        }
        pos = next + 1;
    }

    const String host = hostName(url.host());
    if (normalDomain(cookie.domain).isEmpty()) {
        cookie.domain = host;
    } else if (!domainMatches(normalDomain(host), normalDomain(cookie.domain))) {
        // A server may only set cookies for its own domain.
        return false;
    }
    if (cookie.path.isEmpty()) cookie.path = url.path();
    out = std::move(cookie);
    return true;
}

bool CookieJar::matches(const Cookie& cookie, const URL& url) {
    return domainMatches(normalDomain(hostName(url.host())), normalDomain(cookie.domain));
}

bool CookieJar::add(const String& setCookie, const URL& url) {
    Cookie cookie;
    if (!parse(setCookie, url, cookie)) return false;
    add(cookie);
    return true;
}

void CookieJar::add(const Cookie& cookie) {
    const String domain = normalDomain(cookie.domain);
    for (Cookie& stored : m_cookies) {
        if (stored.name == cookie.name && normalDomain(stored.domain) == domain) {
            stored = cookie;
            return;
        }
    }
    m_cookies.append(cookie);
}

String CookieJar::cookieText(const URL& url) const {
    String text;
    const String host = normalDomain(hostName(url.host()));
    for (const Cookie& cookie : m_cookies) {
        if (!domainMatches(host, normalDomain(cookie.domain))) continue;
        if (!text.isEmpty()) text += L"; ";
        text += cookie.name;
        text += L'=';
        text += cookie.value;
    }
    return text;
}

}  // namespace util
}  // namespace kx
