#include "lab_network/LabNetwork.h"

#include <sstream>

#include "lab_api/ApiServer.h"
#include "lab_api/ApiTargets.h"
#include "lab_backend/TcpBackend.h"
#include "lab_backend/UdpEchoBackend.h"
#include "lab_network/AdminServer.h"
#include "lab_switch/SwitchSession.h"

namespace lab {

using kx::core::Array;
using kx::core::String;

LabNetwork::LabNetwork(kx::net::SocketEventSelector* selector)
    : m_selector(selector), m_relay(selector), m_switches(selector) {
    m_switches.table().setRelay(&m_relay);
}

LabNetwork::~LabNetwork() {
    m_admin.reset();
    m_api.reset();
}

bool LabNetwork::start(const LabConfig& config, String* error) {
    m_relay.setForwardKey(config.forwardKey);
    for (const BackendConfig& backendConfig : config.backends) {
        std::unique_ptr<Backend> backend(new Backend);
        backend->config = backendConfig;
        bool ok;
        if (backendConfig.isRemote()) {
            // Served elsewhere: the relay only connects to it.
            ok = true;
            backend->address = backendConfig.listen;
        } else if (backendConfig.isUdp()) {
            backend->udp.reset(new UdpEchoBackend(m_selector));
            ok = backend->udp->start(backendConfig.listen, error);
            if (ok) backend->address = backend->udp->address();
        } else {
            TcpBackend::Kind kind =
                backendConfig.kind == BackendConfig::TCP_SOURCE ? TcpBackend::SOURCE
                : backendConfig.kind == BackendConfig::TCP_SINK ? TcpBackend::SINK
                                                                : TcpBackend::ECHO;
            backend->tcp.reset(new TcpBackend(m_selector, kind));
            ok = backend->tcp->start(backendConfig.listen, error);
            if (ok) backend->address = backend->tcp->address();
        }
        if (!ok) return false;
        m_backends.push_back(std::move(backend));
    }
    for (const RouteConfig& route : config.routes) {
        for (const auto& backend : m_backends) {
            if (backend->config.name != route.backend) continue;
            m_relay.addRoute(route.targetId, static_cast<uint16_t>(route.clientPort),
                             backend->config.isUdp(), backend->address);
            break;
        }
    }
    if (!m_switches.start(config, error)) return false;
    if (config.api.enabled) {
        m_api.reset(new ApiServer(m_selector));
        if (!m_api->start(config.api, ApiTargets::fromLab(config, *this), error)) return false;
    }
    if (config.hasAdmin) {
        m_admin.reset(new AdminServer(m_selector));
        m_admin->onCommand = [this](const std::string& line) { return command(line); };
        if (!m_admin->start(config.admin, error)) return false;
    }
    return true;
}

void LabNetwork::tick() {
    m_switches.tick();
    for (auto& backend : m_backends) {
        if (backend->tcp) backend->tcp->tick();
    }
    if (m_api) m_api->tick();
    if (m_admin) m_admin->tick();
}

SwitchServer* LabNetwork::findSwitch(const String& name) const {
    for (const auto& server : m_switches.servers()) {
        if (server->config().name == name) return server.get();
    }
    return nullptr;
}

bool LabNetwork::backendAddress(const String& name, kx::net::SocketAddress* out) const {
    for (const auto& backend : m_backends) {
        if (backend->config.name != name) continue;
        if (out) *out = backend->address;
        return true;
    }
    return false;
}

Array<String> LabNetwork::describe() const {
    Array<String> lines;
    for (const auto& backend : m_backends) {
        lines.append(String(L"backend ") + backend->config.name + L" (" +
                     BackendConfig::kindName(backend->config.kind) +
                     (backend->config.isRemote() ? L") at " : L") listening on ") +
                     backend->address.toString());
    }
    for (const auto& server : m_switches.servers()) {
        lines.append(String(L"switch ") + server->config().name + L" listening on " +
                     server->address().toString() + L" (fault " +
                     SwitchFaults::name(server->config().fault) + L", latency " +
                     String::fromInt32(server->config().latency) + L")");
    }
    if (m_api) {
        for (const String& line : m_api->describe()) lines.append(line);
    }
    if (m_admin) lines.append(String(L"admin listening on ") + m_admin->address().toString());
    return lines;
}

std::string LabNetwork::command(const std::string& line) {
    std::istringstream in(line);
    std::string verb, name, value;
    in >> verb >> name >> value;
    if (verb == "status") return _status();
    if (verb == "api")
        return m_api ? m_api->command(line.substr(line.find("api") + 3)) : "error no api";
    if (verb == "down" && name == "bound") {
        std::string downed;
        for (const auto& server : m_switches.servers()) {
            bool carries = false;
            for (const auto& session : server->sessions()) {
                if (!session->isClosed() && !session->tunnelId().isEmpty()) carries = true;
            }
            if (!carries) continue;
            server->goDown();
            downed += " " + server->config().name.toStdString();
        }
        return downed.empty() ? "error no switch carries a tunnel" : "ok down" + downed;
    }
    SwitchServer* server = findSwitch(String::fromUtf8(name));
    if (verb.empty()) return "error empty command";
    if (!server) return "error unknown switch: " + name;
    if (verb == "down") {
        server->goDown();
        return "ok down " + name;
    }
    if (verb == "up") {
        String error;
        return server->goUp(&error) ? "ok up " + name : "error " + error.toStdString();
    }
    if (verb == "fault") {
        SwitchFault fault;
        if (!SwitchFaults::parse(String::fromUtf8(value), &fault)) return "error unknown fault";
        return server->setFault(fault) ? "ok fault " + name + " " + value
                                       : "error cannot apply fault";
    }
    if (verb == "latency") {
        server->setLatency(atoi(value.c_str()));
        return "ok latency " + name + " " + value;
    }
    return "error unknown command: " + verb;
}

std::string LabNetwork::_status() const {
    std::string text = "ok";
    for (const auto& server : m_switches.servers()) {
        text += " " + server->config().name.toStdString() + (server->isDown() ? "=down" : "=up") +
                "/" + std::to_string(server->sessionCount());
    }
    return text;
}

}  // namespace lab
