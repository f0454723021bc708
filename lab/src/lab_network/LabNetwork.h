#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "lab_switch/Relay.h"
#include "lab_switch/SwitchConfig.h"
#include "lab_switch/SwitchLab.h"

namespace lab {

class AdminServer;
class ApiServer;
class TcpBackend;
class UdpEchoBackend;

// Everything one korvane-lab process runs on one selector: the back ends,
// the switches with their shared tunnel table relaying to the back ends, and
// the optional admin port.
class LabNetwork {
public:
    explicit LabNetwork(kx::net::SocketEventSelector* selector);
    ~LabNetwork();
    LabNetwork(const LabNetwork&) = delete;
    LabNetwork& operator=(const LabNetwork&) = delete;

    // Back ends first (routes name their addresses), then the switches, then
    // the admin port. False with a reason; what started stays up.
    bool start(const LabConfig& config, kx::core::String* error);
    void tick();

    // One admin line, one answer line:
    //   "down NAME" / "down bound"  take a switch (or every switch that carries
    //                               a tunnel now) off the network
    //   "up NAME"                   listen again
    //   "fault NAME FAULT", "latency NAME MS", "status"
    std::string command(const std::string& line);

    // What the lab prints at start, one line per server.
    kx::core::Array<kx::core::String> describe() const;

    SwitchLab& switches() { return m_switches; }
    Relay& relay() { return m_relay; }
    SwitchServer* findSwitch(const kx::core::String& name) const;
    // The listening address of a back end by name; false when unknown.
    bool backendAddress(const kx::core::String& name, kx::net::SocketAddress* out) const;
    const AdminServer* admin() const { return m_admin.get(); }
    // Null unless the file has an "api" section.
    ApiServer* api() const { return m_api.get(); }

private:
    struct Backend {
        BackendConfig config;
        std::unique_ptr<TcpBackend> tcp;
        std::unique_ptr<UdpEchoBackend> udp;
        kx::net::SocketAddress address;
    };

    std::string _status() const;

    kx::net::SocketEventSelector* m_selector;
    // The tunnels of the switch lab point into the relay: it goes last.
    Relay m_relay;
    std::vector<std::unique_ptr<Backend>> m_backends;
    SwitchLab m_switches;
    std::unique_ptr<ApiServer> m_api;
    std::unique_ptr<AdminServer> m_admin;
};

}  // namespace lab
