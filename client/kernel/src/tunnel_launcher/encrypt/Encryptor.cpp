#include "tunnel_launcher/encrypt/Encryptor.h"

#include "core/src/crypto/Tea.h"
#include "core/src/debug/Assert.h"

namespace tunnel {

using kx::core::Binary;
using kx::core::String;
using kx::core::Tea;

namespace {

String trimmed(const String& text) {
    int32_t first = 0;
    int32_t last = text.length();
    while (first < last && text[first] < 33) ++first;
    while (last > first && text[last - 1] < 33) --last;
    return text.substring(first, last - first);
}

Binary teaEncode(const String& pass, const Binary& data, const String& key) {
    Binary out;
    bool ok = Tea::encrypt(data, Tea::key16(pass + key), out);
    // key16 always yields 16 bytes, so this cannot fail.
    KX_ASSERT(ok && "TEA::encrypt(&en_data, buffer, pwd_16)");
    return out;
}

Binary teaDecode(const String& pass, const Binary& data, const String& key) {
    Binary out;
    if (!Tea::decrypt(data, Tea::key16(pass + key), out)) return Binary();
    return out;
}

}  // namespace

Encryptor::Encryptor(const String& spec) {
    int32_t start = 0;
    while (start <= spec.length()) {
        int32_t end = spec.indexOf(L';', start);
        if (end < 0) end = spec.length();
        String item = trimmed(spec.substring(start, end - start));
        start = end + 1;
        if (item.isEmpty()) continue;

        int32_t open = item.indexOf(L'(');
        String name = trimmed(open < 0 ? item : item.substring(0, open)).toLower();
        if (name != L"tea") continue;
        String pass;
        if (open >= 0) {
            int32_t close = item.lastIndexOf(L')');
            pass = close > open ? item.substring(open + 1, close - open - 1) : item.substring(open + 1);
        }
        m_encoders.append([pass](const Binary& data, const String& key) { return teaEncode(pass, data, key); });
        m_decoders.insert(0, [pass](const Binary& data, const String& key) { return teaDecode(pass, data, key); });
    }
}

Encryptor::~Encryptor() = default;

bool Encryptor::hasEncoders() const { return !m_encoders.isEmpty(); }

Binary Encryptor::encode(const Binary& data, const String& key) const {
    Binary out = data;
    for (const Codec& codec : m_encoders) out = codec(out, key);
    return out;
}

Binary Encryptor::decode(const Binary& data, const String& key) const {
    Binary out = data;
    for (const Codec& codec : m_decoders) {
        out = codec(out, key);
        // A failed stage poisons the chain: never hand half-decoded bytes on.
        if (out.isEmpty()) break;
    }
    return out;
}

}  // namespace tunnel
