#pragma once

#include <cstddef>
#include <cstdint>

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"

namespace kx {
namespace core {

// Strict UTF-8 <-> UTF-32. Overlong forms, surrogates, code points above
// U+10FFFF and truncated sequences are invalid; invalid input gives the
// empty result.
class Utf8 {
public:
    static Binary encode(const wchar_t* text, int32_t length);
    static String decode(const uint8_t* bytes, size_t length);
};

}  // namespace core
}  // namespace kx
