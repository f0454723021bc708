#include "net/src/url/URL.h"

#include <cstring>

namespace kx {
namespace net {

using kx::core::Binary;
using kx::core::String;

namespace {

const char HEX_DIGITS[] = "0123456789ABCDEF";

bool isUnreserved(uint8_t byte) {
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
        (byte >= '0' && byte <= '9')) {
        return true;
    }
    return byte != 0 && std::strchr("!'()*-._~", byte) != nullptr;
}

int hexValue(wchar_t ch) {
    if (ch >= L'0' && ch <= L'9') return ch - L'0';
    if (ch >= L'a' && ch <= L'f') return ch - L'a' + 10;
    if (ch >= L'A' && ch <= L'F') return ch - L'A' + 10;
    return -1;
}

// Reads from pos up to the first character of stops (or the end). Returns the
// text read; stop receives the stop character (0 at the end) and pos moves
// past it.
String readUntil(const String& text, int32_t& pos, const wchar_t* stops, wchar_t& stop) {
    const int32_t start = pos;
    const wchar_t* data = text.data();
    const int32_t length = text.length();
    while (pos < length && std::wcschr(stops, data[pos]) == nullptr) ++pos;
    String part(data + start, pos - start);
    if (pos < length) {
        stop = data[pos];
        ++pos;
    } else {
        stop = 0;
    }
    return part;
}

}  // namespace

URL::URL(const String& text) {
    _parse(text);
}

URL::URL(const wchar_t* text) {
    _parse(text ? String(text) : String());
}

URL::URL(const char* text) {
    _parse(String::fromUtf8(text ? text : ""));
}

bool URL::splitAuthority(const String& authority, String* host, String* port) {
    String h, p;
    if (authority.length() > 0 && authority[0] == L'[') {
        const int32_t close = authority.indexOf(L']');
        if (close < 0) return false;
        h = authority.substring(1, close - 1);
        if (close + 1 < authority.length()) {
            if (authority[close + 1] != L':') return false;
            p = authority.substring(close + 2);
        }
    } else {
        const int32_t colon = authority.indexOf(L':');
        h = colon < 0 ? authority : authority.substring(0, colon);
        if (colon >= 0) p = authority.substring(colon + 1);
    }
    if (host) *host = h;
    if (port) *port = p;
    return true;
}

void URL::_parse(const String& text) {
    int32_t pos = 0;
    const int32_t separator = text.indexOf(String(L"://"));
    if (separator >= 0) {
        String candidate = text.substring(0, separator);
        if (candidate.indexOf(L'/') < 0 && candidate.indexOf(L'?') < 0 &&
            candidate.indexOf(L'#') < 0) {
            m_scheme = std::move(candidate);
            pos = separator + 3;
        }
    }

    wchar_t stop = 0;
    m_host = readUntil(text, pos, L"/?#", stop);
    if (stop == L'/') {
        m_path = String(L"/") + readUntil(text, pos, L"?#", stop);
    }
    if (stop == L'?') {
        m_query = readUntil(text, pos, L"#", stop);
    }
    if (stop == L'#') {
        m_fragment = text.substring(pos);
    }
}

String URL::toString(bool scheme, bool host, bool path, bool query, bool fragment) const {
    String out;
    if (scheme && !m_scheme.isEmpty()) {
        out += m_scheme;
        out += L"://";
    }
    if (host && !m_host.isEmpty()) out += m_host;
    if (path && !m_path.isEmpty()) out += m_path;
    if (query && !m_query.isEmpty()) {
        out += L'?';
        out += m_query;
    }
    if (fragment && !m_fragment.isEmpty()) {
        out += L'#';
        out += m_fragment;
    }
    return out;
}

bool URL::operator==(const URL& other) const {
    return m_scheme == other.m_scheme && m_host == other.m_host && m_path == other.m_path &&
           m_query == other.m_query && m_fragment == other.m_fragment;
}

String URL::encode(const Binary& bytes) {
    String out;
    out.reserve(bytes.length() * 3);
    const uint8_t* data = bytes.data();
    for (int32_t i = 0; i < bytes.length(); ++i) {
        const uint8_t byte = data[i];
        if (isUnreserved(byte)) {
            out += static_cast<wchar_t>(byte);
        } else {
            const wchar_t escape[3] = {L'%', static_cast<wchar_t>(HEX_DIGITS[byte >> 4]),
                                       static_cast<wchar_t>(HEX_DIGITS[byte & 0x0F])};
            out.append(escape, 3);
        }
    }
    return out;
}

Binary URL::decode(const String& text) {
    Binary out;
    out.reserve(text.length());
    const wchar_t* data = text.data();
    const int32_t length = text.length();
    for (int32_t i = 0; i < length; ++i) {
        const wchar_t ch = data[i];
        if (ch == L'+') {
            out.append(static_cast<uint8_t>(0x20));
        } else if (ch == L'%') {
            if (length - i - 1 < 2) break;  // a cut escape ends the result
            const int high = hexValue(data[i + 1]);
            const int low = hexValue(data[i + 2]);
            if (high >= 0 && low >= 0) {
                out.append(static_cast<uint8_t>(high * 16 + low));
                i += 2;
            } else {
                out.append(static_cast<uint8_t>('%'));
            }
        } else if (static_cast<uint32_t>(ch) < 0x80) {
            out.append(static_cast<uint8_t>(ch));
        } else {
            // A raw non-ASCII character stands for itself: its UTF-8 bytes,
            // so that decoded query texts still read back as UTF-8.
            Binary utf8 = String(&ch, 1).toUtf8();
            if (utf8.isEmpty()) {
                out.append(static_cast<uint8_t>(ch & 0xFF));
            } else {
                out.append(utf8);
            }
        }
    }
    return out;
}

String URL::buildQuery(const Query& query) {
    String out;
    bool first = true;
    for (const auto& entry : query) {
        if (!first) out += L'&';
        first = false;
        out += encode(entry.first.toUtf8());
        out += L'=';
        out += encode(entry.second.toUtf8());
    }
    return out;
}

URL::Query URL::parseQuery(const String& text) {
    Query out;
    int32_t pos = 0;
    const int32_t length = text.length();
    while (pos <= length) {
        int32_t end = text.indexOf(L'&', pos);
        if (end < 0) end = length;
        // Empty pieces ("a=1&&b=2", a trailing "&", the empty text) hold no pair.
        if (end > pos) {
            const String piece = text.substring(pos, end - pos);
            const int32_t equals = piece.indexOf(L'=');
            String key = equals < 0 ? piece : piece.substring(0, equals);
            String value = equals < 0 ? String() : piece.substring(equals + 1);
            out.set(String::fromUtf8(decode(key)), String::fromUtf8(decode(value)));
        }
        pos = end + 1;
    }
    return out;
}

}  // namespace net
}  // namespace kx
