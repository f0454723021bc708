// Base64 text from API answers and property files: strict decoding takes any
// text, both entry points agree, and decoded bytes encode to text that
// decodes to them again.
#include <cstdint>

#include "FuzzCheck.h"
#include "core/src/crypto/Base64.h"
#include "core/src/value/Binary.h"

using kx::core::Base64;
using kx::core::Binary;
using kx::core::String;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Binary bytes(data, static_cast<int32_t>(size));

    Binary narrow;
    const bool ok = Base64::decode(reinterpret_cast<const char*>(data), size, narrow);
    String units;  // the same characters as wide text
    for (size_t i = 0; i < size; ++i) units.append(static_cast<wchar_t>(data[i]));
    Binary wide;
    FUZZ_CHECK(Base64::decode(units, wide) == ok);
    FUZZ_CHECK(wide == narrow);
    if (!ok) {
        FUZZ_CHECK(narrow.isEmpty());
    } else {
        FUZZ_CHECK(size % 4 == 0);
        FUZZ_CHECK(narrow.length() <= int32_t(size / 4 * 3));
        Binary again;
        FUZZ_CHECK(Base64::decode(Base64::encode(narrow), again));
        FUZZ_CHECK(again == narrow);
    }

    const String encoded = Base64::encode(bytes);
    FUZZ_CHECK(encoded.length() == int32_t((size + 2) / 3 * 4));
    Binary decoded;
    FUZZ_CHECK(Base64::decode(encoded, decoded));
    FUZZ_CHECK(decoded == bytes);
    return 0;
}
