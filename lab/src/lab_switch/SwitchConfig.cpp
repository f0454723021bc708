#include "lab_switch/SwitchConfig.h"

#include "core/src/json/JsonParser.h"
#include "core/src/value/AnyConvert.h"

namespace lab {

using kx::core::Any;
using kx::core::AnyConvert;
using kx::core::Array;
using kx::core::Dictionary;
using kx::core::String;
using kx::net::SocketAddress;

bool LabConfig::parseLoopbackAddress(const String& text, SocketAddress* out) {
    // "a.b.c.d:port" or "[v6]:port"; port 0 asks for a free port (the switch
    // prints the one it got).
    SocketAddress address;
    if (!SocketAddress::fromText(text, &address) || !address.ip.isLoopback()) return false;
    if (out) *out = address;
    return true;
}

bool LabConfig::switchFromAny(const Any& value, SwitchConfig* out, String* error) {
    if (!value.is<Dictionary<Any>>()) {
        if (error) *error = L"a switch must be an object";
        return false;
    }
    const Dictionary<Any>& d = value.as<Dictionary<Any>>();
    SwitchConfig config;
    config.name = AnyConvert::toText(d.get(L"name"));
    String listen = AnyConvert::toText(d.get(L"listen"));
    if (!parseLoopbackAddress(listen, &config.listen)) {
        if (error)
            *error = L"\"listen\" must be a loopback address (127.0.0.0/8 or [::1]) with a port: " +
                     listen;
        return false;
    }
    if (config.name.isEmpty()) config.name = listen;
    const Any& keys = d.get(L"access_keys");
    if (keys.is<Array<Any>>()) {
        for (const Any& key : keys.as<Array<Any>>())
            config.accessKeys.append(AnyConvert::toText(key));
    }
    if (d.contains(L"latency")) config.latency = AnyConvert::toInt32(d.get(L"latency"));
    if (d.contains(L"fault")) {
        String fault = AnyConvert::toText(d.get(L"fault"));
        if (!SwitchFaults::parse(fault, &config.fault)) {
            if (error) *error = L"unknown fault: " + fault;
            return false;
        }
    }
    if (d.contains(L"slow_ms")) config.slowMs = AnyConvert::toInt32(d.get(L"slow_ms"));
    if (d.contains(L"heartbeat_ms"))
        config.heartbeatMs = AnyConvert::toInt32(d.get(L"heartbeat_ms"));
    if (d.contains(L"max_connections"))
        config.maxConnections = AnyConvert::toInt32(d.get(L"max_connections"));
    if (config.slowMs < 0 || config.heartbeatMs < 1 || config.maxConnections < 1) {
        if (error)
            *error = L"\"slow_ms\" must be >= 0, \"heartbeat_ms\" and \"max_connections\" >= 1";
        return false;
    }
    if (out) *out = config;
    return true;
}

namespace {

const BackendConfig::KindInfo KINDS[] = {
    {BackendConfig::TCP_ECHO, L"tcp_echo", false, false},
    {BackendConfig::TCP_SOURCE, L"tcp_source", false, false},
    {BackendConfig::TCP_SINK, L"tcp_sink", false, false},
    {BackendConfig::UDP_ECHO, L"udp_echo", true, false},
    {BackendConfig::TCP_REMOTE, L"tcp_remote", false, true},
    {BackendConfig::UDP_REMOTE, L"udp_remote", true, true},
};

// "a.b.c.d:port" with a dotted IPv4 host, or "[v6]:port"; a port from 1 to
// 65535.
bool parseRemoteAddress(const String& text, SocketAddress* out) {
    SocketAddress address;
    if (!SocketAddress::fromText(text, &address) || address.port < 1 || address.ip.isAny())
        return false;
    if (!text.startsWith(L"[")) {
        int dots = 0;
        for (int32_t i = 0; i < text.length() && text[i] != L':'; ++i) {
            if (text[i] == L'.') {
                ++dots;
            } else if (text[i] < L'0' || text[i] > L'9') {
                return false;
            }
        }
        if (dots != 3) return false;
    }
    if (out) *out = address;
    return true;
}

bool backendFromAny(const Any& value, BackendConfig* out, String* error) {
    if (!value.is<Dictionary<Any>>()) {
        if (error) *error = L"a back end must be an object";
        return false;
    }
    const Dictionary<Any>& d = value.as<Dictionary<Any>>();
    out->name = AnyConvert::toText(d.get(L"name"));
    String kind = AnyConvert::toText(d.get(L"kind"));
    if (!BackendConfig::parseKind(kind, &out->kind)) {
        if (error) *error = L"unknown back end kind: " + kind;
        return false;
    }
    if (out->isRemote()) {
        String connect = AnyConvert::toText(d.get(L"connect"));
        if (!parseRemoteAddress(connect, &out->listen)) {
            if (error) *error = L"\"connect\" must be an IP address with a port: " + connect;
            return false;
        }
        if (out->name.isEmpty()) out->name = connect;
        return true;
    }
    String listen = AnyConvert::toText(d.get(L"listen"));
    if (!LabConfig::parseLoopbackAddress(listen, &out->listen)) {
        if (error)
            *error = L"\"listen\" must be a loopback address (127.0.0.0/8 or [::1]) with a port: " +
                     listen;
        return false;
    }
    if (out->name.isEmpty()) out->name = listen;
    return true;
}

bool routeFromAny(const Any& value, RouteConfig* out, String* error) {
    if (!value.is<Dictionary<Any>>()) {
        if (error) *error = L"a route must be an object";
        return false;
    }
    const Dictionary<Any>& d = value.as<Dictionary<Any>>();
    out->targetId = AnyConvert::toInt64(d.get(L"target_id"));
    out->clientPort = AnyConvert::toInt32(d.get(L"client_port"));
    out->backend = AnyConvert::toText(d.get(L"backend"));
    if (out->clientPort < 1 || out->clientPort > 65535) {
        if (error) *error = L"a route needs a \"client_port\" from 1 to 65535";
        return false;
    }
    return true;
}

}  // namespace

bool BackendConfig::parseKind(const String& text, Kind* out) {
    for (const KindInfo& item : KINDS) {
        if (text == item.name) {
            if (out) *out = item.kind;
            return true;
        }
    }
    return false;
}

const wchar_t* BackendConfig::kindName(Kind kind) {
    return info(kind).name;
}

const BackendConfig::KindInfo& BackendConfig::info(Kind kind) {
    for (const KindInfo& item : KINDS) {
        if (item.kind == kind) return item;
    }
    return KINDS[0];
}

bool LabConfig::fromJson(const String& text, LabConfig* out, String* error) {
    Dictionary<Any> root;
    if (!kx::core::JsonParser::parseDictionary(text, root)) {
        if (error) *error = L"the configuration is not a JSON object";
        return false;
    }
    LabConfig config;
    if (root.contains(L"tick_ms")) config.tickMs = AnyConvert::toInt32(root.get(L"tick_ms"));
    if (config.tickMs < 1) config.tickMs = 50;
    const Any& switches = root.get(L"switches");
    if (!switches.is<Array<Any>>()) {
        if (error) *error = L"\"switches\" must be an array";
        return false;
    }
    for (const Any& item : switches.as<Array<Any>>()) {
        SwitchConfig sw;
        if (!switchFromAny(item, &sw, error)) return false;
        config.switches.append(sw);
    }
    const Any& backends = root.get(L"backends");
    if (backends.is<Array<Any>>()) {
        for (const Any& item : backends.as<Array<Any>>()) {
            BackendConfig backend;
            if (!backendFromAny(item, &backend, error)) return false;
            config.backends.append(backend);
        }
    }
    const Any& routes = root.get(L"routes");
    if (routes.is<Array<Any>>()) {
        for (const Any& item : routes.as<Array<Any>>()) {
            RouteConfig route;
            if (!routeFromAny(item, &route, error)) return false;
            bool known = false;
            for (const BackendConfig& backend : config.backends)
                known |= backend.name == route.backend;
            if (!known) {
                if (error) *error = L"a route names an unknown back end: " + route.backend;
                return false;
            }
            config.routes.append(route);
        }
    }
    config.forwardKey = AnyConvert::toText(root.get(L"forward_key"));
    if (root.contains(L"admin")) {
        String admin = AnyConvert::toText(root.get(L"admin"));
        if (!parseLoopbackAddress(admin, &config.admin)) {
            if (error)
                *error =
                    L"\"admin\" must be a loopback address (127.0.0.0/8 or [::1]) with a port: " +
                    admin;
            return false;
        }
        config.hasAdmin = true;
    }
    if (!ApiConfig::fromRoot(root, &config.api, error)) return false;
    if (out) *out = config;
    return true;
}

}  // namespace lab
