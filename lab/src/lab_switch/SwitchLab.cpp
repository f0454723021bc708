#include "lab_switch/SwitchLab.h"

namespace lab {

using kx::core::String;

SwitchLab::SwitchLab(kx::net::SocketEventSelector* selector) : m_selector(selector) {}

bool SwitchLab::start(const LabConfig& config, String* error) {
    for (const SwitchConfig& sw : config.switches) {
        if (!add(sw, error)) return false;
    }
    return true;
}

SwitchServer* SwitchLab::add(const SwitchConfig& config, String* error) {
    std::unique_ptr<SwitchServer> server(new SwitchServer(m_selector, &m_table, config));
    if (!server->start(error)) return nullptr;
    m_servers.push_back(std::move(server));
    return m_servers.back().get();
}

void SwitchLab::tick() {
    for (auto& server : m_servers) server->tick();
    m_table.tick();
}

}  // namespace lab
