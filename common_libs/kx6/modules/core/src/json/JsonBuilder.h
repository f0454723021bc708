#pragma once

#include <cstdint>

#include "core/src/value/Any.h"
#include "core/src/value/String.h"

namespace kx {
namespace core {

// Writes Any values as JSON text. Compact by default; pretty mode breaks lines
// with "\r\n" and indents with one tab per level. A Binary is written as the
// string "<BINARY>" (its bytes never reach the text). A double is written in
// the shortest form that reads back to the same double; infinity and NaN
// have no JSON text, so building them fails.
class JsonBuilder {
public:
    JsonBuilder();
    virtual ~JsonBuilder();

    // False when already initialised.
    bool init(bool pretty = false);

    // Each clears out first. On failure out holds the text written so far.
    bool build(const Any& value, String& out);
    bool build(const Array<Any>& value, String& out);
    bool build(const Dictionary<Any>& value, String& out);

    // One-shot helper.
    static bool buildText(const Dictionary<Any>& value, String& out, bool pretty = false);

private:
    bool _begin(String& out);
    bool _writeValue(const Any& value, String& out);
    // Bracketed, comma-separated items with the pretty-mode line breaks.
    template <typename Container, typename WriteItem>
    bool _writeItems(wchar_t open, wchar_t close, const Container& items, String& out,
                     WriteItem writeItem);
    bool _writeArray(const Array<Any>& value, String& out);
    bool _writeObject(const Dictionary<Any>& value, String& out);
    bool _writeDouble(double value, String& out);
    void _writeString(const String& text, String& out);
    void _newLine(String& out);

    int32_t m_depth;
    bool m_pretty;
    bool m_initialized;
};

}  // namespace core
}  // namespace kx
