#include "tunnel_host/TargetConfig.h"

#include "core/src/json/JsonParser.h"
#include "core/src/misc/FileUtil.h"
#include "core/src/value/AnyConvert.h"
#include "core/src/value/AnyField.h"
#include "tunnel_launcher/TargetRecordReader.h"

using kx::core::Any;
using kx::core::AnyArray;
using kx::core::AnyConvert;
using kx::core::AnyDictionary;
using kx::core::AnyField;
using kx::core::String;

namespace tunnel {

LoginInfo TargetConfig::loginInfo() const {
    LoginInfo info;
    info.accessKey = accessKey;
    info.clientToken = token;
    info.clientVersion = version;
    return info;
}

bool TargetConfig::fromJson(const String& text, TargetConfig* out, String* error) {
    AnyDictionary root;
    if (!kx::core::JsonParser::parseDictionary(text, root)) {
        if (error) *error = L"not a JSON object";
        return false;
    }
    TargetConfig config;
    config.accessKey = AnyConvert::toText(AnyField::value(root, L"access_key"));
    config.token = AnyConvert::toText(AnyField::value(root, L"token"));
    config.version = AnyConvert::toText(AnyField::value(root, L"version"));
    config.fastTick = AnyConvert::toBool(AnyField::value(root, L"fast_tick_enabled"));
    if (const AnyArray* targets = AnyField::array(root, L"targets")) {
        config.targets = TargetRecordReader::readTargets(*targets);
    }
    *out = std::move(config);
    return true;
}

bool TargetConfig::load(const String& path, TargetConfig* out, String* error) {
    kx::core::Binary bytes;
    if (!kx::core::FileUtil::readAll(path, bytes)) {
        if (error) *error = L"cannot read " + path;
        return false;
    }
    String reason;
    if (!fromJson(String::fromUtf8(bytes), out, &reason)) {
        if (error) *error = path + L": " + reason;
        return false;
    }
    return true;
}

}  // namespace tunnel
