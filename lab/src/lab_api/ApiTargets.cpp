#include "lab_api/ApiTargets.h"

#include "lab_network/LabNetwork.h"
#include "lab_switch/SwitchServer.h"

namespace lab {

using kx::core::Any;
using kx::core::Array;
using kx::core::Dictionary;
using kx::core::String;

namespace {

const BackendConfig* findBackend(const LabConfig& config, const String& name) {
    for (const BackendConfig& backend : config.backends) {
        if (backend.name == name) return &backend;
    }
    return nullptr;
}

}  // namespace

Array<Any> ApiTargets::fromLab(const LabConfig& config, const LabNetwork& network) {
    Array<Any> nodes;
    for (const SwitchConfig& sw : config.switches) {
        SwitchServer* server = network.findSwitch(sw.name);
        kx::net::SocketAddress address = server ? server->address() : sw.listen;
        const String* type = config.api.nodeTypes.find(sw.name);
        Dictionary<Any> node;
        node.set(L"ip", address.ip.toString());
        node.set(L"port", static_cast<int32_t>(address.port));
        node.set(L"type", type ? *type : String(L"standard"));
        node.set(L"latency", sw.latency);
        nodes.append(Any(node));
    }
    Array<int64_t> ids;
    for (const RouteConfig& route : config.routes) {
        bool seen = false;
        for (int64_t id : ids) seen |= id == route.targetId;
        if (!seen) ids.append(route.targetId);
    }
    Array<Any> targets;
    for (int64_t id : ids) {
        Array<Any> forwards;
        Array<Any> standbys;
        for (const RouteConfig& route : config.routes) {
            if (route.targetId != id) continue;
            const BackendConfig* backend = findBackend(config, route.backend);
            kx::net::SocketAddress address;
            if (!backend || !network.backendAddress(route.backend, &address)) continue;
            Dictionary<Any> forward;
            forward.set(L"protocol", String(backend->isUdp() ? L"udp" : L"tcp"));
            forward.set(L"client_port", route.clientPort);
            forward.set(L"standby_port", static_cast<int32_t>(address.port));
            forward.set(L"range", 0);
            forwards.append(Any(forward));
            String ip = address.ip.toString();
            bool known = false;
            for (const Any& standby : standbys)
                known |= standby.as<Dictionary<Any>>().get(L"ip").as<String>() == ip;
            if (!known) {
                Dictionary<Any> standby;
                standby.set(L"ip", ip);
                standbys.append(Any(standby));
            }
        }
        Dictionary<Any> target;
        target.set(L"id", id);
        target.set(L"client_ip", config.api.clientIp);
        target.set(L"standbys", Any(standbys));
        target.set(L"nodes", Any(nodes));
        target.set(L"forwards", Any(forwards));
        targets.append(Any(target));
    }
    return targets;
}

}  // namespace lab
