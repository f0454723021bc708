#pragma once

#include <cstdint>
#include <memory>
#include <random>

#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "net/src/socket/IpAddress.h"
#include "tunnel_client/forward/DownstreamTunnel.h"

namespace kx {
namespace net {
class SocketEventSelector;
}
namespace util {
class ILogRecorder;
}
}  // namespace kx

namespace tunnel {

class TcpForwardManager;
class UdpForwardManager;

// The downstream tunnel of one tunnel client together with its local
// forwards: routes in-order packets from the switch to the TCP and UDP
// forwards and closes every forward when the tunnel closes.
class ForwardTunnel : public DownstreamTunnel {
public:
    ForwardTunnel(kx::net::SocketEventSelector* selector, const kx::net::IpAddress& localIp,
                  const kx::core::Array<kx::net::IpAddress>& standbyIps,
                  const kx::core::String& key, int32_t backupCapacity = BACKUP_CAPACITY);
    ~ForwardTunnel() override;
    ForwardTunnel(const ForwardTunnel&) = delete;
    ForwardTunnel& operator=(const ForwardTunnel&) = delete;

    // False when already open; otherwise opens the packet layer.
    bool open(const kx::core::String& tunnelId);
    // Deletes every channel of every forward (without close packets; the
    // forwards keep listening), then resets the packet layer.
    void close() override;
    const kx::core::String& tunnelId() const { return m_tunnelId; }
    bool hasUpstream() const { return upstream() != nullptr; }
    // Whether new local connections can go through the tunnel right now.
    bool isUsable() const { return isAlive() && hasUpstream(); }
    // Whether a new local connection without a standby path goes through the
    // tunnel: also while it is between two switches, since its packets are
    // kept like everyone else's and go out through the next upstream, where
    // refusing it would lose every connection that arrives during a failover.
    bool acceptsWithoutStandby() const { return isAlive(); }

    // Live TCP channels plus live UDP sessions.
    int32_t connectionCount() const;
    kx::net::SocketEventSelector* selector() const { return m_selector; }
    // Where channels report what they end on their own; may stay null.
    void setLogger(kx::util::ILogRecorder* logger) { m_logger = logger; }
    void warn(const kx::core::String& text) const;
    TcpForwardManager* tcpForwardManager() { return m_tcp.get(); }
    UdpForwardManager* udpForwardManager() { return m_udp.get(); }

    // Channel ids name streams tunnel-wide (the switch sees no forward in a
    // data packet), so an id is free only when no forward of the class uses it.
    bool isChannelIdUsed(uint8_t packetClass, uint16_t id) const;
    // A random free id from 1 to 65535; 0 when every id is in use.
    uint16_t drawChannelId(uint8_t packetClass);

protected:
    void onData(const kx::core::Binary& packet) override;
    void onRoom() override;
    void onTick() override;

private:
    kx::net::SocketEventSelector* m_selector;
    kx::util::ILogRecorder* m_logger = nullptr;
    std::unique_ptr<TcpForwardManager> m_tcp;
    std::unique_ptr<UdpForwardManager> m_udp;
    kx::core::String m_tunnelId;
    std::mt19937 m_random;
};

}  // namespace tunnel
