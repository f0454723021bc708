#pragma once

#include <cstdint>

#include "core/src/value/Any.h"
#include "core/src/value/String.h"

namespace kx {
namespace core {

// Reads JSON text into Any values: objects become Dictionary<Any>, arrays
// Array<Any>, strings String, numbers with a '.' or an exponent double and
// other numbers the narrowest of int8_t..int64_t, null the empty Any. Lenient
// by design: text after the first value is not examined.
class JsonParser {
public:
    // Deeper nesting fails the parse, so no input can exhaust the stack.
    static const int32_t MAX_DEPTH = 512;

    JsonParser();
    virtual ~JsonParser();

    // False when an input is already set (call reset() first).
    bool setInput(const String& text);
    bool setInput(String&& text);
    // Reads one value from the current position. On failure out is untouched.
    bool parse(Any& out);
    void reset();
    int32_t position() const { return m_position; }

    // One-shot helpers. parseDictionary succeeds only when the value is an object.
    static bool parseDictionary(const String& text, Dictionary<Any>& out);
    static bool parseAny(const String& text, Any& out);

private:
    bool _skipSpace();
    bool _parseValue(Any& out, int32_t depth);
    bool _parseString(String& out);
    bool _parseNumber(Any& out);
    // Bracketed, comma-separated items up to close; readItem reads one item.
    template <typename ReadItem>
    bool _parseItems(wchar_t close, ReadItem readItem);
    bool _parseArray(Any& out, int32_t depth);
    bool _parseObject(Any& out, int32_t depth);
    bool _parseLiteral(Any& out);

    String m_input;
    int32_t m_position;
    bool m_hasInput;
    String m_work;  // number characters; reused across values
};

}  // namespace core
}  // namespace kx
