#pragma once

#include "core/src/value/Any.h"
#include "core/src/value/Binary.h"
#include "core/src/value/String.h"

namespace tunnel {

// The enciphered form of the built-in configuration: a JSON object, UTF-8,
// TEA-enciphered under a key derived at run time from a constant text, then
// standard Base64. Pure; shared by the SDK and the korvane-config tool.
class ConfigCodec {
public:
    // JSON object text to the Base64 text. False (out empty) when the text is
    // not a JSON object, so a bad file fails the build, not the app.
    static bool encode(const kx::core::String& json, kx::core::String* out);
    // Base64 text to the plain bytes. False when the text is no Base64 or
    // does not decipher.
    static bool decipher(const kx::core::String& text, kx::core::Binary* out);
    // Base64 text to the JSON object. False when either step fails.
    static bool decode(const kx::core::String& text, kx::core::AnyDictionary* out);

    // The 16 key bytes. Built afresh on every use and never kept.
    static kx::core::Binary key();
};

}  // namespace tunnel
