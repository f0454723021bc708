#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "core/src/value/String.h"
#include "lab_switch/SwitchConfig.h"
#include "net/src/socket/Socket.h"
#include "net/src/socket/SocketEventSelector.h"

namespace kx {
namespace net {
class TcpSocketAccepter;
}  // namespace net
}  // namespace kx

namespace lab {

class SwitchSession;
class TunnelTable;

// One switch listener on a loopback address. Several servers of one process
// share a TunnelTable, so a tunnel created through one can be attached
// through another. Faults can be changed while it runs.
class SwitchServer {
public:
    SwitchServer(kx::net::SocketEventSelector* selector, TunnelTable* table,
                 const SwitchConfig& config);
    ~SwitchServer();
    SwitchServer(const SwitchServer&) = delete;
    SwitchServer& operator=(const SwitchServer&) = delete;

    // Binds the listener (port 0 picks a free port). False with a reason.
    bool start(kx::core::String* error);
    // Ticks the sessions and deletes the closed ones; call it every loop round.
    void tick();

    // "refuse" swaps the listener for a bound socket that does not listen.
    bool setFault(SwitchFault fault);
    void setLatency(int32_t latency) { m_config.latency = latency; }
    void setSlowMs(int32_t ms) { m_config.slowMs = ms; }
    // Closes every client connection at once (a switch crash).
    void dropSessions();
    // Takes the switch off the network: its connections close and its port
    // stops listening, while the shared tunnel table keeps every tunnel.
    void goDown();
    // Listens again on the same address.
    bool goUp(kx::core::String* error);
    bool isDown() const { return m_down; }

    const SwitchConfig& config() const { return m_config; }
    const kx::net::SocketAddress& address() const { return m_address; }
    kx::net::SocketEventSelector* selector() const { return m_selector; }
    TunnelTable* table() const { return m_table; }
    int sessionCount() const;
    int64_t acceptedCount() const { return m_accepted; }
    // Connections closed at accept because maxConnections were open.
    int64_t turnedAwayCount() const { return m_turnedAway; }
    const std::vector<std::unique_ptr<SwitchSession>>& sessions() const { return m_sessions; }

    // A fresh one-time login id.
    kx::core::String newZeroId();

private:
    bool _listen(kx::core::String* error);
    void _onAccept(kx::net::Socket* socket);

    kx::net::SocketEventSelector* m_selector;
    TunnelTable* m_table;
    SwitchConfig m_config;
    kx::net::SocketAddress m_address;
    std::unique_ptr<kx::net::TcpSocketAccepter> m_accepter;
    kx::net::Socket m_refuser;
    std::vector<std::unique_ptr<SwitchSession>> m_sessions;
    int64_t m_accepted;
    int64_t m_turnedAway = 0;
    bool m_down = false;
    std::mt19937_64 m_random;
};

}  // namespace lab
