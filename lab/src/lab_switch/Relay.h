#pragma once

#include <cstdint>
#include <vector>

#include "core/src/value/String.h"
#include "net/src/socket/SocketAddress.h"
#include "net/src/socket/SocketEventSelector.h"
#include "tunnel_client/protocol/WindowTuner.h"

namespace lab {

// What the switches of one lab process relay tunnels to: the back end of
// each (target, client port) and the forward key. A tunnel table without a
// relay only keeps tunnels alive and never looks into their packets.
class Relay {
public:
    struct Route {
        int64_t targetId;
        uint16_t clientPort;
        bool udp;
        kx::net::SocketAddress backend;
    };

    explicit Relay(kx::net::SocketEventSelector* selector) : m_selector(selector) {}

    void addRoute(int64_t targetId, uint16_t clientPort, bool udp,
                  const kx::net::SocketAddress& backend) {
        m_routes.push_back(Route{targetId, clientPort, udp, backend});
    }
    // Null when nothing of that protocol is routed for (target, port).
    const Route* find(int64_t targetId, uint16_t clientPort, bool udp) const {
        for (const Route& route : m_routes) {
            if (route.targetId == targetId && route.clientPort == clientPort && route.udp == udp)
                return &route;
        }
        return nullptr;
    }
    void setForwardKey(const kx::core::String& key) { m_forwardKey = key; }
    const kx::core::String& forwardKey() const { return m_forwardKey; }
    kx::net::SocketEventSelector* selector() const { return m_selector; }
    // The largest window a stream or session grants the client; the first
    // window (131072) or less keeps every window fixed, as older switches do.
    void setMaxWindow(int64_t bytes) { m_maxWindow = bytes; }
    int64_t maxWindow() const { return m_maxWindow; }

private:
    kx::net::SocketEventSelector* m_selector;
    std::vector<Route> m_routes;
    kx::core::String m_forwardKey;
    int64_t m_maxWindow = tunnel::WindowTuner::MAX_WINDOW;
};

}  // namespace lab
