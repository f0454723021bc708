// Binary dictionaries from a node: decoding never reads past the input, what
// it keeps encodes back to bytes that decode to the same dictionary, and the
// lenient number and text readers take any value.
#include <cstdint>

#include "FuzzCheck.h"
#include "core/src/value/Binary.h"
#include "core/src/value/Dictionary.h"
#include "tunnel_client/protocol/DictionaryCodec.h"
#include "tunnel_client/protocol/WireValue.h"

using kx::core::Binary;
using kx::core::Dictionary;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so ASan sees any read past the end.
    const Binary in(data, static_cast<int32_t>(size));
    Dictionary<Binary> decoded;
    tunnel::decodeDictionary(in, &decoded);

    int64_t valueBytes = 0;
    for (const auto& entry : decoded) {
        valueBytes += entry.second.length();
        (void)tunnel::WireValue::toInt64(entry.second);
        (void)tunnel::WireValue::toInt32(entry.second);
        (void)tunnel::WireValue::toText(entry.second);
    }
    // Each entry costs at least its 5 framing bytes besides its value.
    FUZZ_CHECK(valueBytes + 5 * int64_t(decoded.size()) <= int64_t(size));

    Binary encoded;
    tunnel::encodeDictionary(decoded, &encoded);
    Dictionary<Binary> again;
    tunnel::decodeDictionary(encoded, &again);
    FUZZ_CHECK(again == decoded);

    // appendDictionary keeps what the buffer held.
    Binary prefixed(data, static_cast<int32_t>(size < 3 ? size : 3));
    const int32_t kept = prefixed.length();
    tunnel::appendDictionary(decoded, &prefixed);
    FUZZ_CHECK(prefixed.length() == kept + encoded.length());
    FUZZ_CHECK(Binary(prefixed.data() + kept, encoded.length()) == encoded);
    return 0;
}
