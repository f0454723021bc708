#include "lab_api/ApiRequestParser.h"

#include "net/src/http/HttpHeaderLookup.h"
#include "web/src/HttpCodec.h"

namespace lab {

using kx::core::Binary;
using kx::core::String;

namespace {

bool isTokenChar(uint8_t c) {
    if (c <= 32 || c >= 127) return false;
    switch (c) {
        case '(':
        case ')':
        case '<':
        case '>':
        case '@':
        case ',':
        case ';':
        case ':':
        case '\\':
        case '"':
        case '/':
        case '[':
        case ']':
        case '?':
        case '=':
        case '{':
        case '}':
            return false;
        default:
            return true;
    }
}

// Head bytes as text, one character per byte: the head is ASCII by rule and
// anything else is refused before it gets here.
String latin1(const uint8_t* data, int32_t length) {
    String text;
    text.reserve(length);
    for (int32_t i = 0; i < length; ++i) text.append(static_cast<wchar_t>(data[i]));
    return text;
}

String trim(const String& text) {
    int32_t begin = 0;
    int32_t end = text.length();
    while (begin < end && (text[begin] == L' ' || text[begin] == L'\t')) ++begin;
    while (end > begin && (text[end - 1] == L' ' || text[end - 1] == L'\t')) --end;
    return text.substring(begin, end - begin);
}

}  // namespace

ApiRequestParser::Result ApiRequestParser::parse(const Binary& buffer, ApiRequest* out,
                                                 int32_t* consumed, int32_t* status) const {
    int32_t headEnd = kx::web::HttpCodec::findHeadEnd(buffer, 0);
    if (headEnd < 0 || headEnd > m_headLimit) {
        if (headEnd > m_headLimit || buffer.length() > m_headLimit) {
            *status = 431;
            return FAILED;
        }
        return NEED_MORE;
    }
    ApiRequest request;
    int64_t bodyLength = 0;
    if (_parseHead(buffer, headEnd, &request, &bodyLength, status) == FAILED) return FAILED;
    if (buffer.length() - headEnd < bodyLength) return NEED_MORE;
    request.body = Binary(buffer.data() + headEnd, static_cast<int32_t>(bodyLength));
    *out = std::move(request);
    *consumed = headEnd + static_cast<int32_t>(bodyLength);
    return DONE;
}

ApiRequestParser::Result ApiRequestParser::_parseHead(const Binary& buffer, int32_t headEnd,
                                                      ApiRequest* out, int64_t* bodyLength,
                                                      int32_t* status) const {
    *status = 400;
    const uint8_t* d = buffer.data();
    int32_t length = headEnd - 2;  // keep the last line's "\r\n"
    for (int32_t i = 0; i < length; ++i) {
        // Bare CR, NUL and other controls are how request smuggling starts.
        uint8_t c = d[i];
        if (c == '\r' && (i + 1 >= length || d[i + 1] != '\n')) return FAILED;
        if (c == '\n' && (i == 0 || d[i - 1] != '\r')) return FAILED;
        if (c < 32 && c != '\r' && c != '\n' && c != '\t') return FAILED;
        if (c >= 127) return FAILED;
    }
    String head = latin1(d, length);
    int32_t lineEnd = head.indexOf(String(L"\r\n"));
    String requestLine = head.substring(0, lineEnd);
    int32_t space1 = requestLine.indexOf(L' ');
    int32_t space2 = space1 < 0 ? -1 : requestLine.indexOf(L' ', space1 + 1);
    if (space1 < 1 || space2 < space1 + 2 || requestLine.indexOf(L' ', space2 + 1) >= 0)
        return FAILED;
    out->method = requestLine.substring(0, space1);
    out->target = requestLine.substring(space1 + 1, space2 - space1 - 1);
    out->version = requestLine.substring(space2 + 1);
    for (wchar_t c : out->method) {
        if (!isTokenChar(static_cast<uint8_t>(c))) return FAILED;
    }
    if (!out->version.startsWith(L"HTTP/")) return FAILED;
    if (out->version != L"HTTP/1.1" && out->version != L"HTTP/1.0") {
        *status = 505;
        return FAILED;
    }
    int32_t count = 0;
    for (int32_t pos = lineEnd + 2; pos < head.length();) {
        int32_t end = head.indexOf(String(L"\r\n"), pos);
        if (end < 0) end = head.length();
        String line = head.substring(pos, end - pos);
        pos = end + 2;
        if (++count > MAX_HEADERS) {
            *status = 431;
            return FAILED;
        }
        int32_t colon = line.indexOf(L':');
        if (colon < 1) return FAILED;  // folded lines and nameless ones alike
        String name = line.substring(0, colon);
        for (wchar_t c : name) {
            if (!isTokenChar(static_cast<uint8_t>(c))) return FAILED;
        }
        String value = trim(line.substring(colon + 1));
        const String* earlier = kx::net::HttpHeaderLookup::find(out->headers, name);
        if (earlier) {
            // A second, different length is a framing conflict; other
            // repeats join as the client records do.
            if (name.toLower() == L"content-length") {
                if (*earlier != value) return FAILED;
                continue;
            }
            String joined = *earlier + L"\r\n" + value;
            for (auto& item : out->headers) {
                if (item.first.toLower() == name.toLower()) {
                    item.second = joined;
                    break;
                }
            }
        } else {
            out->headers.set(name, value);
        }
    }
    if (kx::net::HttpHeaderLookup::contains(out->headers, L"Transfer-Encoding")) {
        *status = 501;
        return FAILED;
    }
    *bodyLength = 0;
    const String* contentLength = kx::net::HttpHeaderLookup::find(out->headers, L"Content-Length");
    if (contentLength) {
        if (contentLength->indexOf(L'\r') >= 0 ||
            !kx::web::HttpCodec::parseDecimal(*contentLength, bodyLength))
            return FAILED;
        if (*bodyLength > m_bodyLimit) {
            *status = 413;
            return FAILED;
        }
    }
    String connection = kx::net::HttpHeaderLookup::value(out->headers, L"Connection").toLower();
    if (out->version == L"HTTP/1.0")
        out->keepAlive = connection.indexOf(String(L"keep-alive")) >= 0;
    else
        out->keepAlive = connection.indexOf(String(L"close")) < 0;
    return DONE;
}

}  // namespace lab
