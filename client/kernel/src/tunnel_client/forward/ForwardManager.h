#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/src/debug/Assert.h"
#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "net/src/socket/IpAddress.h"
#include "tunnel_client/protocol/TunnelPacket.h"

namespace kx {
namespace net {
class SocketEventSelector;
}
}  // namespace kx

namespace tunnel {

class ForwardTunnel;

// One forward per local client port, shared by the TCP and UDP managers.
// Forward is TcpForward or UdpForward.
template <typename Forward>
class ForwardManager {
public:
    ForwardManager(kx::net::SocketEventSelector* selector, ForwardTunnel* tunnel,
                   const kx::net::IpAddress& localIp,
                   const kx::core::Array<kx::net::IpAddress>& standbyIps,
                   const kx::core::String& key)
        : m_selector(selector),
          m_tunnel(tunnel),
          m_localIp(localIp),
          m_standbyIps(standbyIps),
          m_key(key) {
        KX_ASSERT(m_tunnel);
        KX_ASSERT(m_selector);
    }
    virtual ~ForwardManager() = default;
    ForwardManager(const ForwardManager&) = delete;
    ForwardManager& operator=(const ForwardManager&) = delete;

    // Null when the port is already forwarded here or cannot be opened.
    Forward* add(int clientPort, int standbyPort) {
        if (clientPort < 0 || clientPort > 65535 || find(clientPort)) return nullptr;
        std::unique_ptr<Forward> forward(new Forward(m_tunnel, m_selector, m_localIp, clientPort,
                                                     m_standbyIps, standbyPort, m_key));
        if (!forward->isListening()) return nullptr;
        m_forwards.push_back(std::move(forward));
        return m_forwards.back().get();
    }
    void remove(int clientPort) {
        for (size_t i = 0; i < m_forwards.size(); ++i) {
            if (m_forwards[i]->clientPort() != clientPort) continue;
            std::unique_ptr<Forward> gone = std::move(m_forwards[i]);
            m_forwards.erase(m_forwards.begin() + static_cast<std::ptrdiff_t>(i));
            gone->close();
            return;
        }
    }
    Forward* find(int clientPort) const {
        for (const auto& forward : m_forwards) {
            if (forward->clientPort() == clientPort) return forward.get();
        }
        return nullptr;
    }
    // A snapshot: forwards may be removed while the caller walks it.
    kx::core::Array<Forward*> forwards() const {
        kx::core::Array<Forward*> out;
        for (const auto& forward : m_forwards) out.append(forward.get());
        return out;
    }

    int32_t connectionCount() const {
        int32_t count = 0;
        for (const auto& forward : m_forwards) count += forward->channelCount();
        return count;
    }
    bool isChannelIdUsed(uint16_t id) const {
        for (const auto& forward : m_forwards) {
            if (forward->hasChannel(id)) return true;
        }
        return false;
    }
    // Ids are unique across the forwards of a class, so at most one takes the
    // packet. Delivery never removes forwards; the index walk is safe anyway.
    void onData(const TunnelPacket& packet) {
        for (size_t i = 0; i < m_forwards.size(); ++i) {
            if (m_forwards[i]->onData(packet)) return;
        }
    }
    void onRoom() {
        for (size_t i = 0; i < m_forwards.size(); ++i) m_forwards[i]->onRoom();
    }
    void tick() {
        for (size_t i = 0; i < m_forwards.size(); ++i) m_forwards[i]->tick();
    }

private:
    kx::net::SocketEventSelector* m_selector;
    std::vector<std::unique_ptr<Forward>> m_forwards;
    ForwardTunnel* m_tunnel;
    kx::net::IpAddress m_localIp;
    kx::core::Array<kx::net::IpAddress> m_standbyIps;
    kx::core::String m_key;
};

}  // namespace tunnel
