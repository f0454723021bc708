#include "tunnel_client/protocol/DictionaryCodec.h"

#include <cstring>

#include "core/src/value/String.h"

namespace tunnel {

using kx::core::Binary;
using kx::core::Dictionary;
using kx::core::String;

namespace {

const int32_t LENGTH_SIZE = 4;

}  // namespace

void encodeDictionary(const Dictionary<Binary>& dictionary, Binary* out) {
    if (!out) return;
    out->clear();
    appendDictionary(dictionary, out);
}

void appendDictionary(const Dictionary<Binary>& dictionary, Binary* out) {
    if (!out) return;
    for (const auto& entry : dictionary) {
        Binary key = entry.first.toUtf8();
        const Binary& value = entry.second;
        uint32_t n = static_cast<uint32_t>(value.length());
        uint8_t header[1 + LENGTH_SIZE] = {0, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                                           static_cast<uint8_t>(n >> 16),
                                           static_cast<uint8_t>(n >> 24)};
        out->reserve(out->length() + key.length() + 1 + LENGTH_SIZE + value.length());
        out->append(key);
        out->append(header, sizeof(header));
        out->append(value);
    }
}

void decodeDictionary(const Binary& in, Dictionary<Binary>* out) {
    decodeDictionary(in.data(), in.length(), out);
}

void decodeDictionary(const uint8_t* data, int32_t length, Dictionary<Binary>* out) {
    if (!out) return;
    out->clear();
    if (!data || length <= 0) return;
    // Offsets are kept in 64 bits: a hostile length near 2^31 must not wrap
    // the bounds check around.
    const int64_t total = length;
    int64_t p = 0;
    while (p < total) {
        const void* found = memchr(data + p, 0, static_cast<size_t>(total - p));
        if (!found) break;
        int64_t z = static_cast<const uint8_t*>(found) - data;
        if (z + 1 + LENGTH_SIZE > total) break;
        const uint8_t* l = data + z + 1;
        uint32_t n =
            uint32_t(l[0]) | uint32_t(l[1]) << 8 | uint32_t(l[2]) << 16 | uint32_t(l[3]) << 24;
        if (n > 0x7FFFFFFFu) break;
        int64_t valueAt = z + 1 + LENGTH_SIZE;
        if (valueAt + int64_t(n) > total) break;
        String key =
            String::fromUtf8(reinterpret_cast<const char*>(data + p), static_cast<size_t>(z - p));
        out->set(key, Binary(data + valueAt, static_cast<int32_t>(n)));
        p = valueAt + n;
    }
}

}  // namespace tunnel
