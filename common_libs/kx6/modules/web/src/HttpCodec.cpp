#include "web/src/HttpCodec.h"

#include <cstdio>
#include <string>

namespace kx {
namespace web {

namespace {

void appendText(std::string* out, const core::String& text) {
    core::Binary utf8 = text.toUtf8();
    out->append(utf8.c_str(), static_cast<size_t>(utf8.length()));
}

bool isBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

core::String trim(const core::String& text) {
    int32_t first = 0;
    int32_t last = text.length();
    while (first < last && isBlank(text.c_str()[first])) ++first;
    while (last > first && isBlank(text.c_str()[last - 1])) --last;
    return text.substring(first, last - first);
}

// Head bytes as text: UTF-8 when valid, else byte for byte (ISO 8859-1), so
// that one odd byte does not blank the whole head.
core::String headText(const uint8_t* data, int32_t length) {
    core::String text =
        core::String::fromUtf8(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    if (!text.isEmpty() || length == 0) return text;
    core::String latin;
    latin.reserve(length);
    for (int32_t i = 0; i < length; ++i) latin.append(static_cast<wchar_t>(data[i]));
    return latin;
}

void addHeader(Http::Headers* headers, const core::String& name, const core::String& value) {
    core::String lower = name.toLower();
    for (auto& entry : *headers) {
        if (entry.first.toLower() == lower) {
            entry.second = entry.second + L"\r\n" + value;
            return;
        }
    }
    headers->set(name, value);
}

}  // namespace

bool HttpCodec::parseDecimal(const core::String& text, int64_t* out) {
    core::String t = trim(text);
    if (t.isEmpty() || t.length() > 18) return false;
    int64_t value = 0;
    for (int32_t i = 0; i < t.length(); ++i) {
        wchar_t c = t.c_str()[i];
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + (c - L'0');
    }
    *out = value;
    return true;
}

bool HttpCodec::prepareBody(Http::Request* request, int32_t maxBody, bool* chunked) {
    const core::String* length = Http::findHeader(request->headers, L"content-length");
    const core::String* coding = Http::findHeader(request->headers, L"transfer-encoding");
    *chunked = coding && coding->toLower().indexOf(core::String(L"chunked")) >= 0;
    if (length && *chunked) return false;
    if (maxBody >= 0 && request->body.length() > maxBody) return false;
    if (length && !*chunked) {
        int64_t value = 0;
        return parseDecimal(*length, &value) && value == request->body.length();
    }
    if (!length && !coding && !request->body.isEmpty()) {
        request->headers.set(L"Content-Length", core::String::fromInt32(request->body.length()));
    }
    return true;
}

core::Binary HttpCodec::formatRequest(const Http::Request& request, bool chunked) {
    std::string head;
    appendText(&head, request.method);
    head += ' ';
    appendText(&head, request.target);
    head += ' ';
    appendText(&head, request.version);
    head += "\r\n";
    for (const auto& entry : request.headers) {
        const core::String& value = entry.second;
        int32_t start = 0;
        for (;;) {
            int32_t end = value.indexOf(core::String(L"\r\n"), start);
            appendText(&head, entry.first);
            head += ": ";
            appendText(&head, value.substring(start, end < 0 ? -1 : end - start));
            head += "\r\n";
            if (end < 0) break;
            start = end + 2;
        }
    }
    head += "\r\n";
    core::Binary out = core::Binary::fromStdString(head);
    if (!chunked) {
        out.append(request.body);
        return out;
    }
    const core::Binary& body = request.body;
    for (int32_t offset = 0; offset < body.length(); offset += CHUNK_SLICE) {
        int32_t n = body.length() - offset;
        if (n > CHUNK_SLICE) n = CHUNK_SLICE;
        char size[16];
        int len = std::snprintf(size, sizeof(size), "%x\r\n", static_cast<unsigned>(n));
        out.append(size, len);
        out.append(body.data() + offset, n);
        out.append("\r\n", 2);
    }
    out.append("0\r\n\r\n", 5);
    return out;
}

int32_t HttpCodec::findHeadEnd(const core::Binary& buffer, int32_t from) {
    const uint8_t* d = buffer.data();
    for (int32_t i = from < 0 ? 0 : from; i + 3 < buffer.length(); ++i) {
        if (d[i] == '\r' && d[i + 1] == '\n' && d[i + 2] == '\r' && d[i + 3] == '\n') return i + 4;
    }
    return -1;
}

bool HttpCodec::parseResponseHead(const uint8_t* data, int32_t length, Http::Response* out) {
    core::String text = headText(data, length);
    int32_t lineEnd = text.indexOf(L'\n');
    core::String statusLine = text.substring(0, lineEnd < 0 ? -1 : lineEnd);
    if (statusLine.endsWith(L"\r")) statusLine = statusLine.substring(0, statusLine.length() - 1);

    int32_t sp1 = statusLine.indexOf(L' ');
    if (sp1 <= 0) return false;
    core::String version = statusLine.substring(0, sp1);
    if (!version.startsWith(L"HTTP/")) return false;
    int32_t codeStart = sp1;
    while (codeStart < statusLine.length() && statusLine.c_str()[codeStart] == L' ') ++codeStart;
    int32_t sp2 = statusLine.indexOf(L' ', codeStart);
    core::String code = statusLine.substring(codeStart, sp2 < 0 ? -1 : sp2 - codeStart);
    int64_t status = 0;
    if (!parseDecimal(code, &status) || code.length() > 9) return false;

    out->version = version;
    out->status = static_cast<int32_t>(status);
    out->reason = sp2 < 0 ? core::String() : statusLine.substring(sp2 + 1);
    out->headers.clear();
    out->body.clear();

    int32_t pos = lineEnd < 0 ? text.length() : lineEnd + 1;
    while (pos < text.length()) {
        int32_t end = text.indexOf(L'\n', pos);
        core::String line = text.substring(pos, end < 0 ? -1 : end - pos);
        pos = end < 0 ? text.length() : end + 1;
        if (line.endsWith(L"\r")) line = line.substring(0, line.length() - 1);
        int32_t colon = line.indexOf(L':');
        if (colon <= 0) continue;  // folded or malformed line: skipped
        core::String name = trim(line.substring(0, colon));
        if (name.isEmpty()) continue;
        addHeader(&out->headers, name, trim(line.substring(colon + 1)));
    }
    return true;
}

HttpCodec::Framing HttpCodec::framing(const core::String& method, const Http::Response& head,
                                      int64_t* length) {
    *length = 0;
    int32_t status = head.status < 100 ? 200 : head.status;
    if (method == L"HEAD" || status == 204 || status == 304) return FRAMING_NONE;
    if (status < 200) return FRAMING_NONE;
    const core::String* contentLength = Http::findHeader(head.headers, L"content-length");
    const core::String* coding = Http::findHeader(head.headers, L"transfer-encoding");
    bool chunked = coding && coding->toLower().indexOf(core::String(L"chunked")) >= 0;
    if (contentLength && chunked) return FRAMING_ERROR;
    if (chunked) return FRAMING_CHUNKED;
    if (contentLength) {
        int64_t value = 0;
        if (!parseDecimal(*contentLength, &value)) return FRAMING_ERROR;
        if (value == 0) return FRAMING_NONE;
        *length = value;
        return FRAMING_LENGTH;
    }
    core::String connection = Http::header(head.headers, L"connection").toLower();
    if (connection == L"close" || (head.version == L"HTTP/1.0" && connection != L"keep-alive")) {
        return FRAMING_UNTIL_CLOSE;
    }
    return FRAMING_NONE;
}

bool HttpCodec::keepAlive(const Http::Response& response) {
    core::String connection = Http::header(response.headers, L"connection").toLower();
    if (response.version == L"HTTP/1.0") return connection == L"keep-alive";
    return connection != L"close";
}

}  // namespace web
}  // namespace kx
