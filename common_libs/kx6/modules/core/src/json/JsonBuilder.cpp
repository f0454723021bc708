#include "core/src/json/JsonBuilder.h"

#include "core/src/json/JsonParser.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kx {
namespace core {

JsonBuilder::JsonBuilder() : m_depth(0), m_pretty(false), m_initialized(false) {}

JsonBuilder::~JsonBuilder() = default;

bool JsonBuilder::init(bool pretty) {
    if (m_initialized) return false;
    m_pretty = pretty;
    m_initialized = true;
    return true;
}

bool JsonBuilder::_begin(String& out) {
    out.clear();
    m_depth = 0;
    return m_initialized;
}

bool JsonBuilder::build(const Any& value, String& out) {
    return _begin(out) && _writeValue(value, out);
}

bool JsonBuilder::build(const Array<Any>& value, String& out) {
    return _begin(out) && _writeArray(value, out);
}

bool JsonBuilder::build(const Dictionary<Any>& value, String& out) {
    return _begin(out) && _writeObject(value, out);
}

bool JsonBuilder::buildText(const Dictionary<Any>& value, String& out, bool pretty) {
    JsonBuilder builder;
    builder.init(pretty);
    return builder.build(value, out);
}

void JsonBuilder::_newLine(String& out) {
    if (!m_pretty) return;
    out.append(L"\r\n", 2);
    for (int32_t i = 0; i < m_depth; ++i) out.append(L'\t');
}

bool JsonBuilder::_writeValue(const Any& v, String& out) {
    if (v.isEmpty()) {
        out += L"null";
    } else if (v.is<String>()) {
        _writeString(v.as<String>(), out);
    } else if (v.is<Dictionary<Any>>()) {
        return _writeObject(v.as<Dictionary<Any>>(), out);
    } else if (v.is<Array<Any>>()) {
        return _writeArray(v.as<Array<Any>>(), out);
    } else if (v.is<bool>()) {
        out += v.as<bool>() ? L"true" : L"false";
    } else if (v.is<int8_t>()) {
        out += String::fromInt32(v.as<int8_t>());
    } else if (v.is<int16_t>()) {
        out += String::fromInt32(v.as<int16_t>());
    } else if (v.is<int32_t>()) {
        out += String::fromInt32(v.as<int32_t>());
    } else if (v.is<int64_t>()) {
        out += String::fromInt64(v.as<int64_t>());
    } else if (v.is<double>()) {
        return _writeDouble(v.as<double>(), out);
    } else if (v.is<Binary>()) {
        out += L"\"<BINARY>\"";
    } else {
        return false;
    }
    return true;
}

template <typename Container, typename WriteItem>
bool JsonBuilder::_writeItems(wchar_t open, wchar_t close, const Container& items, String& out,
                              WriteItem writeItem) {
    // Same bound as the parser: whatever it produced can be written back.
    if (m_depth >= JsonParser::MAX_DEPTH) return false;
    out.append(open);
    if (items.isEmpty()) {
        _newLine(out);
        out.append(close);
        return true;
    }
    ++m_depth;
    _newLine(out);
    bool first = true;
    for (const auto& item : items) {
        if (!first) {
            out.append(L',');
            _newLine(out);
        }
        first = false;
        if (!writeItem(item)) return false;
    }
    --m_depth;
    _newLine(out);
    out.append(close);
    return true;
}

bool JsonBuilder::_writeArray(const Array<Any>& value, String& out) {
    return _writeItems(L'[', L']', value, out,
                       [&](const Any& item) { return _writeValue(item, out); });
}

bool JsonBuilder::_writeObject(const Dictionary<Any>& value, String& out) {
    return _writeItems(L'{', L'}', value, out, [&](const std::pair<const String, Any>& entry) {
        // Keys are escaped like values so that any key yields valid JSON.
        _writeString(entry.first, out);
        out.append(L':');
        return _writeValue(entry.second, out);
    });
}

bool JsonBuilder::_writeDouble(double value, String& out) {
    // JSON has no text for infinity or NaN.
    if (!std::isfinite(value)) return false;
    // The fewest significant digits that read back to the same value.
    char text[40];
    for (int precision = 1; precision <= 17; ++precision) {
        snprintf(text, sizeof text, "%.*g", precision, value);
        if (strtod(text, nullptr) == value) break;
    }
    // %g turns 100 into "1e+02"; keep whole numbers of ordinary size plain.
    const char* e = strchr(text, 'e');
    if (e) {
        int exponent = atoi(e + 1);
        if (exponent >= 0 && exponent < 17) snprintf(text, sizeof text, "%.*g", exponent + 1, value);
    }
    // Without a '.' or an exponent the parser would take it for an integer
    // (and "-0" would lose its sign).
    if (!strpbrk(text, ".e")) strcat(text, ".0");
    for (const char* c = text; *c; ++c) out.append(static_cast<wchar_t>(*c));
    return true;
}

void JsonBuilder::_writeString(const String& text, String& out) {
    out.append(L'"');
    const wchar_t* s = text.data();
    const int32_t n = text.length();
    int32_t runStart = 0;
    for (int32_t i = 0; i < n; ++i) {
        const wchar_t* escape;
        switch (s[i]) {
            case L'\\':
                escape = L"\\\\";
                break;
            case L'"':
                escape = L"\\\"";
                break;
            case L'\r':
                escape = L"\\r";
                break;
            case L'\n':
                escape = L"\\n";
                break;
            case L'\f':
                escape = L"\\f";
                break;
            case L'\b':
                escape = L"\\b";
                break;
            case L'\t':
                escape = L"\\t";
                break;
            default:
                continue;
        }
        out.append(s + runStart, i - runStart);
        out.append(escape, 2);
        runStart = i + 1;
    }
    out.append(s + runStart, n - runStart);
    out.append(L'"');
}

}  // namespace core
}  // namespace kx
