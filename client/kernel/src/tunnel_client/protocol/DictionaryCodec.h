#pragma once

#include <cstdint>

#include "core/src/value/Binary.h"
#include "core/src/value/Dictionary.h"

namespace tunnel {

// A node message is a flat map of text keys to byte values. Each entry is
// the UTF-8 key, 0x00, a u32 little-endian value length, then the value;
// entries follow one another with nothing around them.

// Clears out, then appends the entries in key order. Null out: nothing.
void encodeDictionary(const kx::core::Dictionary<kx::core::Binary>& dictionary,
                      kx::core::Binary* out);
// The same without clearing: appends after what out already holds.
void appendDictionary(const kx::core::Dictionary<kx::core::Binary>& dictionary,
                      kx::core::Binary* out);

// Clears out, then reads whole entries from the start. Decoding stops at
// the first entry that cannot be read completely and keeps what came
// before; it never fails as a whole. Null out: nothing.
void decodeDictionary(const kx::core::Binary& in, kx::core::Dictionary<kx::core::Binary>* out);
void decodeDictionary(const uint8_t* data, int32_t length,
                      kx::core::Dictionary<kx::core::Binary>* out);

}  // namespace tunnel
