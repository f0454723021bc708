#include "tunnel_launcher/TargetRecordReader.h"

#include "core/src/value/AnyConvert.h"
#include "core/src/value/AnyField.h"

using kx::core::Any;
using kx::core::AnyArray;
using kx::core::AnyConvert;
using kx::core::AnyDictionary;
using kx::core::AnyField;
using kx::core::String;

namespace tunnel {

namespace {

const wchar_t* const DEFAULT_CLIENT_IP = L"127.0.0.1";

}  // namespace

kx::core::Array<TargetRecord> TargetRecordReader::readTargets(const AnyArray& targets) {
    kx::core::Array<TargetRecord> out;
    for (const Any& element : targets) {
        TargetRecord target;
        if (readTarget(element, &target)) out.append(std::move(target));
    }
    return out;
}

bool TargetRecordReader::readTarget(const Any& value, TargetRecord* out) {
    if (!value.is<AnyDictionary>()) return false;
    const AnyDictionary& object = value.as<AnyDictionary>();
    TargetRecord target;
    if (const AnyArray* standbys = AnyField::array(object, L"standbys")) {
        for (const Any& element : *standbys) {
            if (!element.is<AnyDictionary>()) continue;
            const String ip = AnyConvert::toText(AnyField::value(element.as<AnyDictionary>(), L"ip"));
            target.standbys.append(kx::net::IpAddress(ip));
        }
    }
    target.id = AnyConvert::toInt64(AnyField::value(object, L"id"));
    target.clientIpText = AnyConvert::toText(AnyField::value(object, L"client_ip"));
    if (target.clientIpText.isEmpty()) target.clientIpText = DEFAULT_CLIENT_IP;
    target.clientIp = kx::net::IpAddress(target.clientIpText);
    if (const AnyArray* nodes = AnyField::array(object, L"nodes")) {
        for (const Any& element : *nodes) {
            NodeRecord node;
            if (readNode(element, &node)) target.nodes.append(std::move(node));
        }
    }
    if (const AnyArray* forwards = AnyField::array(object, L"forwards")) {
        for (const Any& element : *forwards) {
            ForwardRecord forward;
            if (readForward(element, &forward)) target.forwards.append(std::move(forward));
        }
    }
    *out = std::move(target);
    return true;
}

bool TargetRecordReader::readNode(const Any& value, NodeRecord* out) {
    if (!value.is<AnyDictionary>()) return false;
    const AnyDictionary& object = value.as<AnyDictionary>();
    NodeRecord node;
    node.ipText = AnyConvert::toText(AnyField::value(object, L"ip"));
    node.port = AnyConvert::toInt32(AnyField::value(object, L"port"));
    node.address =
        kx::net::SocketAddress(kx::net::IpAddress(node.ipText), static_cast<uint16_t>(node.port));
    node.type = AnyConvert::toText(AnyField::value(object, L"type"));
    node.latency = AnyConvert::toInt32(AnyField::value(object, L"latency"));
    *out = std::move(node);
    return true;
}

bool TargetRecordReader::readForward(const Any& value, ForwardRecord* out) {
    if (!value.is<AnyDictionary>()) return false;
    const AnyDictionary& object = value.as<AnyDictionary>();
    ForwardRecord forward;
    forward.protocol = AnyConvert::toText(AnyField::value(object, L"protocol")).toLower();
    forward.clientPort = AnyConvert::toInt32(AnyField::value(object, L"client_port"));
    forward.standbyPort = AnyConvert::toInt32(AnyField::value(object, L"standby_port"));
    forward.range = AnyConvert::toInt32(AnyField::value(object, L"range"));
    *out = std::move(forward);
    return true;
}

}  // namespace tunnel
