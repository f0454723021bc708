#include "core/src/json/JsonParser.h"

#include <cwchar>
#include <utility>

namespace kx {
namespace core {

namespace {
// Work text above this capacity is given back after a parse.
const int32_t WORK_RELEASE_UNITS = 1048576;

bool isSpace(wchar_t c) {
    return c == 0 || c == 32 || (c >= 9 && c <= 13);
}

bool isNumberChar(wchar_t c) {
    return (c >= L'0' && c <= L'9') || c == L'+' || c == L'-' || c == L'.' || c == L'e' ||
           c == L'E';
}

int hexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

Any narrowest(long long v) {
    if (v >= INT8_MIN && v <= INT8_MAX) return Any(static_cast<int8_t>(v));
    if (v >= INT16_MIN && v <= INT16_MAX) return Any(static_cast<int16_t>(v));
    if (v >= INT32_MIN && v <= INT32_MAX) return Any(static_cast<int32_t>(v));
    return Any(static_cast<int64_t>(v));
}
}  // namespace

JsonParser::JsonParser() : m_position(0), m_hasInput(false) {}

JsonParser::~JsonParser() = default;

bool JsonParser::setInput(const String& text) {
    if (m_hasInput) return false;
    m_input = text;
    m_position = 0;
    m_hasInput = true;
    return true;
}

bool JsonParser::setInput(String&& text) {
    if (m_hasInput) return false;
    m_input = std::move(text);
    m_position = 0;
    m_hasInput = true;
    return true;
}

void JsonParser::reset() {
    m_input = String();
    m_position = 0;
    m_hasInput = false;
}

bool JsonParser::parse(Any& out) {
    if (!m_hasInput) return false;
    Any value;
    bool ok = _parseValue(value, 0);
    m_work.clear();
    if (m_work.capacity() > WORK_RELEASE_UNITS) m_work = String();
    if (ok) out = std::move(value);
    return ok;
}

bool JsonParser::_skipSpace() {
    const wchar_t* s = m_input.data();
    int32_t n = m_input.length();
    while (m_position < n && isSpace(s[m_position])) ++m_position;
    return m_position < n;
}

bool JsonParser::_parseValue(Any& out, int32_t depth) {
    if (!_skipSpace()) return false;
    wchar_t c = m_input.data()[m_position];
    if (c == L'"') {
        String text;
        if (!_parseString(text)) return false;
        out = Any(std::move(text));
        return true;
    }
    if ((c >= L'0' && c <= L'9') || c == L'-' || c == L'.') return _parseNumber(out);
    if (c == L'[') return _parseArray(out, depth + 1);
    if (c == L'{') return _parseObject(out, depth + 1);
    return _parseLiteral(out);
}

bool JsonParser::_parseString(String& out) {
    const wchar_t* s = m_input.data();
    const int32_t n = m_input.length();
    int32_t i = m_position + 1;  // past the opening quotation mark
    int32_t runStart = i;
    while (i < n) {
        wchar_t c = s[i];
        if (c == L'"') {
            out.append(s + runStart, i - runStart);
            m_position = i + 1;
            return true;
        }
        if (c != L'\\') {
            ++i;
            continue;
        }
        out.append(s + runStart, i - runStart);
        if (i + 1 >= n) return false;
        wchar_t e = s[i + 1];
        wchar_t unit;
        int32_t used = 2;
        switch (e) {
            case L'"':
            case L'/':
            case L'\\':
                unit = e;
                break;
            case L'b':
                unit = 8;
                break;
            case L'f':
                unit = 12;
                break;
            case L'n':
                unit = 10;
                break;
            case L'r':
                unit = 13;
                break;
            case L't':
                unit = 9;
                break;
            case L'u': {
                if (i + 6 > n) return false;
                uint32_t v = 0;
                for (int32_t k = 2; k < 6; ++k) {
                    int h = hexValue(s[i + k]);
                    if (h < 0) return false;
                    v = (v << 4) | static_cast<uint32_t>(h);
                }
                unit = static_cast<wchar_t>(v);
                used = 6;
                break;
            }
            default:
                return false;
        }
        out.append(unit);
        i += used;
        runStart = i;
    }
    return false;
}

bool JsonParser::_parseNumber(Any& out) {
    const wchar_t* s = m_input.data();
    const int32_t n = m_input.length();
    int32_t end = m_position;
    // A fraction or an exponent makes a double; only plain digit runs are
    // integers (an integer conversion would stop at the exponent: 1e+20 -> 1).
    bool isDouble = false;
    while (end < n && isNumberChar(s[end])) {
        if (s[end] == L'.' || s[end] == L'e' || s[end] == L'E') isDouble = true;
        ++end;
    }
    m_work.clear();
    m_work.append(s + m_position, end - m_position);
    m_position = end;
    if (isDouble) {
        out = Any(wcstod(m_work.c_str(), nullptr));
    } else {
        out = narrowest(wcstoll(m_work.c_str(), nullptr, 10));
    }
    return true;
}

template <typename ReadItem>
bool JsonParser::_parseItems(wchar_t close, ReadItem readItem) {
    ++m_position;  // the opening bracket
    if (!_skipSpace()) return false;
    if (m_input.data()[m_position] == close) {
        ++m_position;
        return true;
    }
    for (;;) {
        if (!readItem() || !_skipSpace()) return false;
        wchar_t c = m_input.data()[m_position++];
        if (c == close) return true;
        if (c != L',') return false;
    }
}

bool JsonParser::_parseArray(Any& out, int32_t depth) {
    if (depth > MAX_DEPTH) return false;
    Array<Any> items;
    bool ok = _parseItems(L']', [&] {
        Any item;
        if (!_parseValue(item, depth)) return false;
        items.append(std::move(item));
        return true;
    });
    if (ok) out = Any(std::move(items));
    return ok;
}

bool JsonParser::_parseObject(Any& out, int32_t depth) {
    if (depth > MAX_DEPTH) return false;
    Dictionary<Any> members;
    bool ok = _parseItems(L'}', [&] {
        if (!_skipSpace() || m_input.data()[m_position] != L'"') return false;
        String key;
        if (!_parseString(key)) return false;
        if (!_skipSpace() || m_input.data()[m_position] != L':') return false;
        ++m_position;
        Any value;
        if (!_parseValue(value, depth)) return false;
        members.set(key, std::move(value));  // a repeated key keeps the last value
        return true;
    });
    if (ok) out = Any(std::move(members));
    return ok;
}

bool JsonParser::_parseLiteral(Any& out) {
    const wchar_t* s = m_input.data() + m_position;
    const int32_t rest = m_input.length() - m_position;
    if (rest >= 4 && wcsncmp(s, L"true", 4) == 0) {
        out = Any(true);
        m_position += 4;
        return true;
    }
    if (rest >= 5 && wcsncmp(s, L"false", 5) == 0) {
        out = Any(false);
        m_position += 5;
        return true;
    }
    if (rest >= 4 && wcsncmp(s, L"null", 4) == 0) {
        out = Any();
        m_position += 4;
        return true;
    }
    return false;
}

bool JsonParser::parseDictionary(const String& text, Dictionary<Any>& out) {
    JsonParser parser;
    parser.setInput(text);
    Any value;
    if (!parser.parse(value) || !value.is<Dictionary<Any>>()) return false;
    out = std::move(value.as<Dictionary<Any>>());
    return true;
}

bool JsonParser::parseAny(const String& text, Any& out) {
    JsonParser parser;
    parser.setInput(text);
    return parser.parse(out);
}

}  // namespace core
}  // namespace kx
