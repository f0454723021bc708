#pragma once

#include <cstdint>

#include "core/src/value/Binary.h"
#include "core/src/value/Dictionary.h"
#include "core/src/value/String.h"

namespace tunnel {

// Values of node messages: text travels as UTF-8, numbers as decimal text.
// Readers are lenient (a node is outside our control) and never overflow:
// numbers beyond the target type saturate at its bounds.
class WireValue {
public:
    static kx::core::Binary fromText(const kx::core::String& text) { return text.toUtf8(); }
    static kx::core::Binary fromInt64(int64_t value);

    // Invalid UTF-8 reads as empty text.
    static kx::core::String toText(const kx::core::Binary& value);
    // Base 10: optional leading blanks and sign, then digits up to the first
    // non-digit. Empty or non-numeric text reads as 0.
    static int64_t toInt64(const kx::core::Binary& value);
    static int32_t toInt32(const kx::core::Binary& value);

    // Lookups in a message; a missing key reads as empty text / 0.
    static kx::core::String text(const kx::core::Dictionary<kx::core::Binary>& message,
                                 const kx::core::String& key) {
        return toText(message.get(key));
    }
    static int64_t int64(const kx::core::Dictionary<kx::core::Binary>& message,
                         const kx::core::String& key) {
        return toInt64(message.get(key));
    }
    static int32_t int32(const kx::core::Dictionary<kx::core::Binary>& message,
                         const kx::core::String& key) {
        return toInt32(message.get(key));
    }
};

}  // namespace tunnel
