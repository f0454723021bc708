#pragma once

#include <cstdint>

#include "core/src/debug/Assert.h"
#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "net/src/socket/IpAddress.h"
#include "net/src/socket/SocketAddress.h"
#include "net/src/socket/SocketEventSelector.h"
#include "tunnel_client/forward/ChannelRegistry.h"
#include "tunnel_client/protocol/TunnelPacket.h"

namespace tunnel {

class ForwardTunnel;

// What a local TCP or UDP forward port shares: the local server, the tunnel,
// the data channels by id and the standby target. Server is the channel
// server of the port's protocol; DataChannel its tunnelled channel.
template <class Server, class DataChannel>
class ForwardListener {
public:
    static constexpr int MAX_CHANNELS = 1024;

    virtual ~ForwardListener() = default;
    ForwardListener(const ForwardListener&) = delete;
    ForwardListener& operator=(const ForwardListener&) = delete;

    bool isListening() const { return m_server.isValid(); }
    // The port actually listened on (the configured one unless that was 0).
    int clientPort() const { return m_clientPort; }
    ForwardTunnel* tunnel() const { return m_tunnel; }
    bool hasChannel(uint16_t id) const { return m_channels.has(id); }
    DataChannel* dataChannel(uint16_t id) const { return m_channels.find(id); }

protected:
    ForwardListener(ForwardTunnel* tunnel, kx::net::SocketEventSelector* selector,
                    const kx::net::IpAddress& localIp, int clientPort,
                    const kx::core::Array<kx::net::IpAddress>& standbyIps, int standbyPort,
                    const kx::core::String& key)
        : m_tunnel(tunnel),
          m_server(selector, kx::net::SocketAddress(localIp, static_cast<uint16_t>(clientPort)),
                   MAX_CHANNELS),
          m_clientPort(clientPort),
          m_key(key),
          m_standbyIps(standbyIps),
          m_standbyPort(standbyPort) {
        KX_ASSERT(m_tunnel);
        if (m_server.isValid()) m_clientPort = m_server.localAddress().port;
    }

    ForwardTunnel* m_tunnel;
    ChannelRegistry<DataChannel> m_channels;
    Server m_server;
    int m_clientPort;
    kx::core::String m_key;
    kx::core::Array<kx::net::IpAddress> m_standbyIps;  // UDP has no standby path
    int m_standbyPort;
};

// The tunnel of a data channel's forward, checked before the channel's
// members are built from it.
template <class Forward>
ForwardTunnel* tunnelOf(Forward* forward) {
    KX_ASSERT(forward);
    return forward->tunnel();
}

// Opens a new data channel's session and gives the local side its first read
// credit. A refused open means the switch never heard of the session: the
// channel is reset, better no connection than a dead one.
template <class Channel, class Session>
bool openDataSession(Channel* channel, Session* session, int clientPort, int32_t initialRead) {
    if (!session->open(static_cast<uint16_t>(clientPort), initialRead)) {
        channel->abort();
        return false;
    }
    channel->recv(initialRead);
    return true;
}

}  // namespace tunnel
