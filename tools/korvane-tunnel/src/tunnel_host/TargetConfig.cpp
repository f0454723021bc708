#include "tunnel_host/TargetConfig.h"

#include "core/src/json/JsonParser.h"
#include "core/src/misc/FileUtil.h"
#include "core/src/value/AnyConvert.h"

using kx::core::Any;
using kx::core::AnyArray;
using kx::core::AnyConvert;
using kx::core::AnyDictionary;
using kx::core::String;

namespace tunnel {

namespace {

const AnyArray* arrayAt(const AnyDictionary& object, const wchar_t* key) {
    const Any* value = object.find(key);
    return value && value->is<AnyArray>() ? &value->as<AnyArray>() : nullptr;
}

const Any& valueAt(const AnyDictionary& object, const wchar_t* key) {
    const Any* value = object.find(key);
    return value ? *value : Any::null();
}

}  // namespace

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
    config.accessKey = AnyConvert::toText(valueAt(root, L"access_key"));
    config.token = AnyConvert::toText(valueAt(root, L"token"));
    config.version = AnyConvert::toText(valueAt(root, L"version"));
    config.fastTick = AnyConvert::toBool(valueAt(root, L"fast_tick_enabled"));
    if (const AnyArray* targets = arrayAt(root, L"targets")) {
        for (const Any& element : *targets) {
            TargetRecord target;
            if (targetFromAny(element, &target)) config.targets.append(std::move(target));
        }
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

bool TargetConfig::targetFromAny(const Any& value, TargetRecord* out) {
    if (!value.is<AnyDictionary>()) return false;
    const AnyDictionary& object = value.as<AnyDictionary>();
    TargetRecord target;
    if (const AnyArray* standbys = arrayAt(object, L"standbys")) {
        for (const Any& element : *standbys) {
            if (!element.is<AnyDictionary>()) continue;
            const String ip = AnyConvert::toText(valueAt(element.as<AnyDictionary>(), L"ip"));
            target.standbys.append(kx::net::IpAddress(ip));
        }
    }
    target.id = AnyConvert::toInt64(valueAt(object, L"id"));
    target.clientIpText = AnyConvert::toText(valueAt(object, L"client_ip"));
    if (target.clientIpText.isEmpty()) target.clientIpText = L"127.0.0.1";
    target.clientIp = kx::net::IpAddress(target.clientIpText);
    if (const AnyArray* nodes = arrayAt(object, L"nodes")) {
        for (const Any& element : *nodes) {
            NodeRecord node;
            if (nodeFromAny(element, &node)) target.nodes.append(std::move(node));
        }
    }
    if (const AnyArray* forwards = arrayAt(object, L"forwards")) {
        for (const Any& element : *forwards) {
            ForwardRecord forward;
            if (forwardFromAny(element, &forward)) target.forwards.append(std::move(forward));
        }
    }
    *out = std::move(target);
    return true;
}

bool TargetConfig::nodeFromAny(const Any& value, NodeRecord* out) {
    if (!value.is<AnyDictionary>()) return false;
    const AnyDictionary& object = value.as<AnyDictionary>();
    NodeRecord node;
    node.ipText = AnyConvert::toText(valueAt(object, L"ip"));
    node.port = AnyConvert::toInt32(valueAt(object, L"port"));
    node.address =
        kx::net::SocketAddress(kx::net::IpAddress(node.ipText), static_cast<uint16_t>(node.port));
    node.type = AnyConvert::toText(valueAt(object, L"type"));
    node.latency = AnyConvert::toInt32(valueAt(object, L"latency"));
    *out = std::move(node);
    return true;
}

bool TargetConfig::forwardFromAny(const Any& value, ForwardRecord* out) {
    if (!value.is<AnyDictionary>()) return false;
    const AnyDictionary& object = value.as<AnyDictionary>();
    ForwardRecord forward;
    forward.protocol = AnyConvert::toText(valueAt(object, L"protocol")).toLower();
    forward.clientPort = AnyConvert::toInt32(valueAt(object, L"client_port"));
    forward.standbyPort = AnyConvert::toInt32(valueAt(object, L"standby_port"));
    forward.range = AnyConvert::toInt32(valueAt(object, L"range"));
    *out = std::move(forward);
    return true;
}

}  // namespace tunnel
