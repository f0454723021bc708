#pragma once

#include <cstddef>
#include <cstdint>

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"

namespace kx {
namespace core {

// Standard alphabet with '=' padding. Decoding is strict: the length must be
// a multiple of four, padding may only end the text, and every other
// character (whitespace included) must belong to the alphabet.
class Base64 {
public:
    static String encode(const void* data, size_t length);
    static String encode(const Binary& data) { return encode(data.data(), size_t(data.length())); }
    // False (out empty) on invalid input.
    static bool decode(const String& text, Binary& out);
    static bool decode(const char* text, size_t length, Binary& out);

private:
    template <typename Ch>
    static bool _decode(const Ch* text, size_t length, Binary& out);
};

}  // namespace core
}  // namespace kx
