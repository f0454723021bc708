#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace kx {
namespace core {

class Binary;

// Wide text: UTF-32 code units (wchar_t), always followed by a 0 unit. The
// empty String points at one shared buffer and allocates nothing.
class String {
public:
    String() noexcept;
    String(const wchar_t* text);  // NOLINT: implicit from literals on purpose
    String(const wchar_t* text, int32_t length);
    String(const wchar_t* first, const wchar_t* last);
    String(const String& other);
    String(String&& other) noexcept;
    virtual ~String();

    String& operator=(const String& other);
    String& operator=(String&& other) noexcept;
    String& operator=(const wchar_t* text);

    int32_t length() const { return m_length; }
    int32_t capacity() const { return m_capacity; }
    bool isEmpty() const { return m_length == 0; }
    const wchar_t* c_str() const { return m_data; }
    const wchar_t* data() const { return m_data; }
    const wchar_t* begin() const { return m_data; }
    const wchar_t* end() const { return m_data + m_length; }

    // Checked access: throws OutOfRangeException.
    wchar_t operator[](int32_t index) const;
    wchar_t at(int32_t index) const { return (*this)[index]; }

    String& append(const wchar_t* text, int32_t length);
    String& append(const String& other) { return append(other.m_data, other.m_length); }
    String& append(wchar_t ch) { return append(&ch, 1); }
    String& operator+=(const String& other) { return append(other); }
    String& operator+=(const wchar_t* text);
    String& operator+=(wchar_t ch) { return append(ch); }

    void clear();
    void reserve(int32_t units);

    bool operator==(const String& other) const;
    bool operator!=(const String& other) const { return !(*this == other); }
    // Raw byte order of the code units; on equal prefixes the shorter first.
    bool operator<(const String& other) const { return compare(other) < 0; }
    bool operator>(const String& other) const { return compare(other) > 0; }
    int compare(const String& other) const;

    // start and count are clamped to the text; a negative count means "to the end".
    String substring(int32_t start, int32_t count = -1) const;
    String right(int32_t count) const;
    String toLower() const;  // ASCII A..Z only
    // Removes every trailing occurrence of suffix ("a//" without "/" is "a").
    String trimSuffix(const String& suffix) const;
    int32_t indexOf(wchar_t ch, int32_t from = 0) const;
    int32_t indexOf(const String& text, int32_t from = 0) const;
    int32_t lastIndexOf(wchar_t ch) const;
    bool startsWith(const String& prefix) const;
    bool endsWith(const String& suffix) const;

    static String fromInt32(int32_t value);   // "%d"
    static String fromInt64(int64_t value);   // "%lld"
    static String fromDouble(double value);   // "%lg"
    static String fromBool(bool value);       // "true" / "false"
    int32_t toInt32() const;                  // wcstol base 10, 0 when not a number
    int64_t toInt64() const;                  // wcstoll base 10
    bool toBool() const;                      // lower-cased text equals "true"

    // UTF-8 edges: invalid input converts to the empty result.
    static String fromUtf8(const Binary& utf8);
    static String fromUtf8(const char* text);
    static String fromUtf8(const char* text, size_t length);
    static String fromUtf8(const std::string& text) { return fromUtf8(text.data(), text.size()); }
    Binary toUtf8() const;
    std::string toStdString() const;

private:
    void _assign(const wchar_t* text, int32_t length);
    void _ensure(int32_t units);
    void _release();

    wchar_t* m_data;
    int32_t m_capacity;
    int32_t m_length;
};

String operator+(const String& a, const String& b);
String operator+(const String& a, const wchar_t* b);
String operator+(const wchar_t* a, const String& b);

typedef String Str;

}  // namespace core
}  // namespace kx

namespace std {
template <>
struct hash<kx::core::String> {
    size_t operator()(const kx::core::String& s) const noexcept;
};
}  // namespace std
