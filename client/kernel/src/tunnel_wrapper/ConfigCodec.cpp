#include "tunnel_wrapper/ConfigCodec.h"

#include "core/src/crypto/Base64.h"
#include "core/src/crypto/Tea.h"
#include "core/src/json/JsonParser.h"

using kx::core::Binary;
using kx::core::String;

namespace tunnel {

namespace {

// The key source, 11 characters, assembled so the text is not one literal.
String keySource() {
    const wchar_t parts[][5] = {L"kor", L"van", L"e.c", L"fg"};
    String out;
    for (const wchar_t* part : parts) out += part;
    return out;
}

}  // namespace

Binary ConfigCodec::key() {
    return kx::core::Tea::key16(keySource());
}

bool ConfigCodec::encode(const String& json, String* out) {
    *out = String();
    kx::core::AnyDictionary probe;
    if (!kx::core::JsonParser::parseDictionary(json, probe)) return false;
    Binary cipher;
    if (!kx::core::Tea::encrypt(json.toUtf8(), key(), cipher)) return false;
    *out = kx::core::Base64::encode(cipher);
    return true;
}

bool ConfigCodec::decipher(const String& text, Binary* out) {
    *out = Binary();
    Binary cipher;
    if (!kx::core::Base64::decode(text, cipher)) return false;
    return kx::core::Tea::decrypt(cipher, key(), *out);
}

bool ConfigCodec::decode(const String& text, kx::core::AnyDictionary* out) {
    Binary plain;
    if (!decipher(text, &plain)) return false;
    return kx::core::JsonParser::parseDictionary(String::fromUtf8(plain), *out);
}

}  // namespace tunnel
