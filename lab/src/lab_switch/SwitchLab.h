#pragma once

#include <memory>
#include <vector>

#include "core/src/value/String.h"
#include "lab_switch/SwitchConfig.h"
#include "lab_switch/SwitchServer.h"
#include "lab_switch/TunnelTable.h"

namespace lab {

// The switches of one lab process on one selector, sharing one tunnel table.
class SwitchLab {
public:
    explicit SwitchLab(kx::net::SocketEventSelector* selector);

    // Starts one server per configured switch; false with a reason when any
    // of them cannot listen (those started stay up).
    bool start(const LabConfig& config, kx::core::String* error);
    SwitchServer* add(const SwitchConfig& config, kx::core::String* error);
    void tick();

    TunnelTable& table() { return m_table; }
    const std::vector<std::unique_ptr<SwitchServer>>& servers() const { return m_servers; }

private:
    kx::net::SocketEventSelector* m_selector;
    TunnelTable m_table;
    std::vector<std::unique_ptr<SwitchServer>> m_servers;
};

}  // namespace lab
