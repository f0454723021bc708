#include "tunnel_wrapper/Config.h"

#include "core/src/debug/AssertReporter.h"
#include "core/src/json/JsonParser.h"
#include "core/src/value/AnyConvert.h"
#include "core/src/value/AnyField.h"
#include "tunnel_wrapper/ConfigCodec.h"

using kx::core::Any;
using kx::core::AnyArray;
using kx::core::AnyConvert;
using kx::core::AnyDictionary;
using kx::core::AnyField;
using kx::core::String;

namespace tunnel {

Config::Config(const String& text) : m_text(text) {}

Config::~Config() = default;

AnyDictionary Config::_decode() const {
    kx::core::Binary plain;
    if (!ConfigCodec::decipher(m_text, &plain)) {
        kx::core::AssertReporter::fail("!L\"Bad config data\"", __FILE__, __LINE__);
    }
    AnyDictionary out;
    if (!kx::core::JsonParser::parseDictionary(String::fromUtf8(plain), out)) {
        kx::core::AssertReporter::fail("!L\"Bad config format\"", __FILE__, __LINE__);
    }
    return out;
}

String Config::apiUrl() const {
    return AnyConvert::toText(AnyField::value(_decode(), L"u"));
}

kx::core::Array<kx::core::Strings> Config::hostGroups() const {
    kx::core::Array<kx::core::Strings> out;
    const AnyDictionary config = _decode();
    const Any& groups = AnyField::value(config, L"h");
    if (!groups.is<AnyArray>()) return out;
    for (const Any& group : groups.as<AnyArray>()) {
        if (!group.is<AnyArray>()) continue;
        kx::core::Strings hosts;
        for (const Any& host : group.as<AnyArray>()) hosts.append(AnyConvert::toText(host));
        out.append(std::move(hosts));
    }
    return out;
}

kx::core::Strings Config::pins() const {
    kx::core::Strings out;
    const AnyDictionary config = _decode();
    if (!config.contains(L"p")) return out;
    const Any& pins = AnyField::value(config, L"p");
    if (pins.is<AnyArray>()) {
        for (const Any& pin : pins.as<AnyArray>()) {
            out.append(pin.is<String>() ? pin.as<String>() : String(L"(not a text)"));
        }
    } else if (pins.is<String>()) {
        out.append(pins.as<String>());
    } else {
        out.append(L"(not a list)");
    }
    return out;
}

String Config::encryptorSpec() const {
    return AnyConvert::toText(AnyField::value(_decode(), L"e"));
}

}  // namespace tunnel
