#include "core/src/value/String.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

#include "core/src/exception/Exception.h"
#include "core/src/exception/OutOfRangeException.h"
#include "core/src/text/Utf8.h"
#include "core/src/value/Binary.h"
#include "core/src/value/Storage.h"

namespace kx {
namespace core {

namespace {
wchar_t g_emptyText[1] = {0};
}

String::String() noexcept : m_data(g_emptyText), m_capacity(0), m_length(0) {}

String::String(const wchar_t* text) : String() {
    if (!text) throw Exception(L"Assigned string with null pointer!");
    _assign(text, static_cast<int32_t>(wcslen(text)));
}

String::String(const wchar_t* text, int32_t length) : String() {
    if (length > 0) {
        if (!text) throw Exception(L"Assigned string with null pointer!");
        _assign(text, length);
    }
}

String::String(const wchar_t* first, const wchar_t* last) : String() {
    if (first && last > first) _assign(first, static_cast<int32_t>(last - first));
}

String::String(const String& other) : String() { _assign(other.m_data, other.m_length); }

String::String(String&& other) noexcept
    : m_data(other.m_data), m_capacity(other.m_capacity), m_length(other.m_length) {
    other.m_data = g_emptyText;
    other.m_capacity = 0;
    other.m_length = 0;
}

String::~String() { _release(); }

String& String::operator=(const String& other) {
    if (this != &other) _assign(other.m_data, other.m_length);
    return *this;
}

String& String::operator=(String&& other) noexcept {
    if (this != &other) {
        _release();
        m_data = other.m_data;
        m_capacity = other.m_capacity;
        m_length = other.m_length;
        other.m_data = g_emptyText;
        other.m_capacity = 0;
        other.m_length = 0;
    }
    return *this;
}

String& String::operator=(const wchar_t* text) {
    if (!text) throw Exception(L"Assigned string with null pointer!");
    String copy(text);
    return *this = std::move(copy);
}

void String::_release() {
    if (m_data != g_emptyText) delete[] m_data;
    m_data = g_emptyText;
    m_capacity = 0;
    m_length = 0;
}

void String::_ensure(int32_t units) {
    if (units <= m_capacity) return;
    int32_t size = growCapacity(units);
    wchar_t* block = new wchar_t[size];
    if (m_length > 0) memcpy(block, m_data, sizeof(wchar_t) * m_length);
    block[m_length] = 0;
    if (m_data != g_emptyText) delete[] m_data;
    m_data = block;
    m_capacity = size - 1;
}

void String::_assign(const wchar_t* text, int32_t length) {
    if (length <= 0) {
        clear();
        return;
    }
    if (length > m_capacity) {
        // The source may live inside our own buffer: copy before releasing.
        int32_t size = growCapacity(length);
        wchar_t* block = new wchar_t[size];
        memcpy(block, text, sizeof(wchar_t) * length);
        _release();
        m_data = block;
        m_capacity = size - 1;
    } else {
        memmove(m_data, text, sizeof(wchar_t) * length);
    }
    m_length = length;
    m_data[m_length] = 0;
}

void String::clear() {
    if (m_data != g_emptyText) m_data[0] = 0;
    m_length = 0;
}

void String::reserve(int32_t units) {
    if (units > m_capacity) _ensure(units);
}

wchar_t String::operator[](int32_t index) const {
    if (index < 0 || index >= m_length) throw OutOfRangeException(index, m_length);
    return m_data[index];
}

String& String::append(const wchar_t* text, int32_t length) {
    if (length <= 0) return *this;
    if (m_length + int64_t(length) > INT32_MAX - 1) throw std::bad_alloc();
    int32_t total = m_length + length;
    if (total > m_capacity) {
        if (text >= m_data && text < m_data + m_length) {
            String copy(text, length);
            return append(copy);
        }
        _ensure(total);
    }
    memmove(m_data + m_length, text, sizeof(wchar_t) * length);
    m_length = total;
    m_data[m_length] = 0;
    return *this;
}

String& String::operator+=(const wchar_t* text) {
    if (!text) throw Exception(L"Assigned string with null pointer!");
    return append(text, static_cast<int32_t>(wcslen(text)));
}

bool String::operator==(const String& other) const {
    return m_length == other.m_length &&
           (m_length == 0 || memcmp(m_data, other.m_data, sizeof(wchar_t) * m_length) == 0);
}

int String::compare(const String& other) const {
    int32_t shorter = m_length < other.m_length ? m_length : other.m_length;
    if (shorter > 0) {
        int r = memcmp(m_data, other.m_data, sizeof(wchar_t) * shorter);
        if (r != 0) return r;
    }
    return m_length < other.m_length ? -1 : (m_length > other.m_length ? 1 : 0);
}

String String::substring(int32_t start, int32_t count) const {
    if (start < 0) start = 0;
    if (start >= m_length) return String();
    int32_t rest = m_length - start;
    if (count < 0 || count > rest) count = rest;
    return String(m_data + start, count);
}

String String::right(int32_t count) const {
    if (count <= 0) return String();
    if (count >= m_length) return *this;
    return String(m_data + m_length - count, count);
}

String String::toLower() const {
    String out(*this);
    for (int32_t i = 0; i < out.m_length; ++i) {
        wchar_t c = out.m_data[i];
        if (c >= L'A' && c <= L'Z') out.m_data[i] = c + (L'a' - L'A');
    }
    return out;
}

String String::trimSuffix(const String& suffix) const {
    if (suffix.isEmpty()) return *this;
    int32_t end = m_length;
    while (end >= suffix.m_length &&
           memcmp(m_data + end - suffix.m_length, suffix.m_data,
                  sizeof(wchar_t) * suffix.m_length) == 0) {
        end -= suffix.m_length;
    }
    return String(m_data, end);
}

int32_t String::indexOf(wchar_t ch, int32_t from) const {
    for (int32_t i = from < 0 ? 0 : from; i < m_length; ++i)
        if (m_data[i] == ch) return i;
    return -1;
}

int32_t String::indexOf(const String& text, int32_t from) const {
    if (from < 0) from = 0;
    if (text.isEmpty()) return from <= m_length ? from : -1;
    for (int32_t i = from; i + text.m_length <= m_length; ++i)
        if (memcmp(m_data + i, text.m_data, sizeof(wchar_t) * text.m_length) == 0) return i;
    return -1;
}

int32_t String::lastIndexOf(wchar_t ch) const {
    for (int32_t i = m_length - 1; i >= 0; --i)
        if (m_data[i] == ch) return i;
    return -1;
}

bool String::startsWith(const String& prefix) const {
    return prefix.m_length <= m_length &&
           memcmp(m_data, prefix.m_data, sizeof(wchar_t) * prefix.m_length) == 0;
}

bool String::endsWith(const String& suffix) const {
    return suffix.m_length <= m_length &&
           memcmp(m_data + m_length - suffix.m_length, suffix.m_data,
                  sizeof(wchar_t) * suffix.m_length) == 0;
}

String String::fromInt32(int32_t value) {
    wchar_t buf[36];
    swprintf(buf, 36, L"%d", value);
    return String(buf);
}

String String::fromInt64(int64_t value) {
    wchar_t buf[36];
    swprintf(buf, 36, L"%lld", static_cast<long long>(value));
    return String(buf);
}

String String::fromDouble(double value) {
    wchar_t buf[36];
    if (swprintf(buf, 36, L"%lg", value) < 0) buf[0] = 0;
    return String(buf);
}

String String::fromBool(bool value) { return String(value ? L"true" : L"false"); }

int32_t String::toInt32() const {
    return static_cast<int32_t>(static_cast<uint32_t>(wcstol(m_data, nullptr, 10)));
}

int64_t String::toInt64() const { return static_cast<int64_t>(wcstoll(m_data, nullptr, 10)); }

bool String::toBool() const { return toLower() == String(L"true"); }

String String::fromUtf8(const Binary& utf8) {
    return Utf8::decode(utf8.data(), static_cast<size_t>(utf8.length()));
}

String String::fromUtf8(const char* text) {
    if (!text) return String();
    return Utf8::decode(reinterpret_cast<const uint8_t*>(text), strlen(text));
}

String String::fromUtf8(const char* text, size_t length) {
    return Utf8::decode(reinterpret_cast<const uint8_t*>(text), length);
}

Binary String::toUtf8() const { return Utf8::encode(m_data, m_length); }

std::string String::toStdString() const {
    Binary b = toUtf8();
    return std::string(reinterpret_cast<const char*>(b.data()), static_cast<size_t>(b.length()));
}

String operator+(const String& a, const String& b) {
    String out;
    out.reserve(a.length() + b.length());
    out.append(a);
    out.append(b);
    return out;
}

String operator+(const String& a, const wchar_t* b) { return a + String(b); }
String operator+(const wchar_t* a, const String& b) { return String(a) + b; }

}  // namespace core
}  // namespace kx

size_t std::hash<kx::core::String>::operator()(const kx::core::String& s) const noexcept {
    // FNV-1a over the code units.
    uint64_t h = 1469598103934665603ull;
    for (int32_t i = 0; i < s.length(); ++i) {
        h ^= static_cast<uint32_t>(s.data()[i]);
        h *= 1099511628211ull;
    }
    return static_cast<size_t>(h);
}
