#include "lab_api/ApiConfig.h"

#include "core/src/value/AnyConvert.h"
#include "lab_switch/SwitchConfig.h"

namespace lab {

using kx::core::Any;
using kx::core::AnyConvert;
using kx::core::Array;
using kx::core::Dictionary;
using kx::core::String;

namespace {

Array<String> texts(const Any& value) {
    Array<String> out;
    if (value.is<Array<Any>>()) {
        for (const Any& item : value.as<Array<Any>>()) out.append(AnyConvert::toText(item));
    }
    return out;
}

bool address(const Dictionary<Any>& d, const wchar_t* key, kx::net::SocketAddress* out,
             bool* present, String* error) {
    *present = false;
    if (!d.contains(key)) return true;
    String text = AnyConvert::toText(d.get(key));
    if (!LabConfig::parseLoopbackAddress(text, out)) {
        if (error)
            *error = String(L"\"api\": \"") + key +
                     L"\" must be a loopback address (127.0.0.0/8 or [::1]) with a port: " + text;
        return false;
    }
    *present = true;
    return true;
}

struct Limit {
    const wchar_t* key;
    int32_t ApiConfig::*field;
    int32_t low;
    int32_t high;
};

const Limit LIMITS[] = {
    {L"fault_count", &ApiConfig::faultCount, 0, 1 << 30},
    {L"delay_ms", &ApiConfig::delayMs, 0, 600000},
    {L"head_limit", &ApiConfig::headLimit, 256, 1 << 20},
    {L"body_limit", &ApiConfig::bodyLimit, 0, 64 << 20},
    {L"client_timeout_ms", &ApiConfig::clientTimeoutMs, 1, 600000},
    {L"max_connections", &ApiConfig::maxConnections, 1, 4096},
};

}  // namespace

bool ApiConfig::fromRoot(const Dictionary<Any>& root, ApiConfig* out, String* error) {
    if (!root.contains(L"api")) {
        if (out) *out = ApiConfig();
        return true;
    }
    return fromAny(root.get(L"api"), out, error);
}

bool ApiConfig::fromAny(const Any& value, ApiConfig* out, String* error) {
    if (!value.is<Dictionary<Any>>()) {
        if (error) *error = L"\"api\" must be an object";
        return false;
    }
    const Dictionary<Any>& d = value.as<Dictionary<Any>>();
    ApiConfig c;
    c.enabled = true;
    if (!address(d, L"listen", &c.listen, &c.hasListen, error) ||
        !address(d, L"https_listen", &c.httpsListen, &c.hasHttps, error)) {
        return false;
    }
    if (!c.hasListen && !c.hasHttps) {
        if (error) *error = L"\"api\" needs \"listen\" or \"https_listen\"";
        return false;
    }
    c.certFile = AnyConvert::toText(d.get(L"cert_file"));
    c.keyFile = AnyConvert::toText(d.get(L"key_file"));
    if (c.certFile.isEmpty() != c.keyFile.isEmpty()) {
        if (error) *error = L"\"api\": \"cert_file\" and \"key_file\" go together";
        return false;
    }
    c.tlsDir = AnyConvert::toText(d.get(L"tls_dir"));
    c.tea = AnyConvert::toText(d.get(L"tea"));
    c.basePath = AnyConvert::toText(d.get(L"base_path"));
    while (c.basePath.endsWith(L"/")) c.basePath = c.basePath.substring(0, c.basePath.length() - 1);
    if (d.contains(L"timestamp_tolerance_s"))
        c.toleranceS = AnyConvert::toInt64(d.get(L"timestamp_tolerance_s"));
    if (c.toleranceS < 0) {
        if (error) *error = L"\"api\": \"timestamp_tolerance_s\" must be >= 0";
        return false;
    }
    c.clockSkewS = AnyConvert::toInt64(d.get(L"clock_skew_s"));
    c.accessKeys = texts(d.get(L"access_keys"));
    c.tokens = texts(d.get(L"tokens"));
    c.revoked = texts(d.get(L"revoked"));
    String clientIp = AnyConvert::toText(d.get(L"client_ip"));
    if (!clientIp.isEmpty()) c.clientIp = clientIp;
    const Any& types = d.get(L"node_types");
    if (types.is<Dictionary<Any>>()) {
        for (const auto& item : types.as<Dictionary<Any>>())
            c.nodeTypes.set(item.first, AnyConvert::toText(item.second));
    }
    if (d.contains(L"targets")) {
        const Any& targets = d.get(L"targets");
        if (!targets.is<Array<Any>>()) {
            if (error) *error = L"\"api\": \"targets\" must be an array";
            return false;
        }
        c.hasTargets = true;
        c.targets = targets.as<Array<Any>>();
    }
    if (d.contains(L"fault")) {
        String fault = AnyConvert::toText(d.get(L"fault"));
        if (!ApiFaults::parse(fault, &c.fault)) {
            if (error) *error = L"\"api\": unknown fault: " + fault;
            return false;
        }
    }
    c.faultPath = AnyConvert::toText(d.get(L"fault_path"));
    for (const Limit& limit : LIMITS) {
        if (!d.contains(limit.key)) continue;
        int64_t number = AnyConvert::toInt64(d.get(limit.key));
        if (number < limit.low || number > limit.high) {
            if (error)
                *error = String(L"\"api\": \"") + limit.key + L"\" must be from " +
                         String::fromInt32(limit.low) + L" to " + String::fromInt32(limit.high);
            return false;
        }
        c.*limit.field = static_cast<int32_t>(number);
    }
    if (out) *out = c;
    return true;
}

}  // namespace lab
