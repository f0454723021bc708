#pragma once

#include <functional>
#include <map>
#include <memory>

#include "net/src/socket/SocketAddress.h"
#include "net/src/socket/SocketEventSelector.h"
#include "tunnel_client/forward/udp_channel/UdpChannel.h"
#include "tunnel_client/forward/udp_channel/UdpMainChannel.h"

namespace tunnel {

// One local UDP socket split by sender: each peer (address and port) gets its
// own UdpChannel from the factory on its first datagram, up to a maximum.
// Datagrams of further peers, or ones the factory declines, are dropped.
// Closed channels are deleted by the sweep on the selector's tick.
class UdpChannelServer {
public:
    static constexpr int MAX_CHANNELS = 1024;
    static constexpr int SOCKET_BUFFER = 65536;
    // Builds the channel of a new peer; null drops the datagram.
    typedef std::function<std::unique_ptr<UdpChannel>(kx::net::UdpSocketChannel*,
                                                      const kx::net::SocketAddress&)>
        Factory;

    Factory factory;

    UdpChannelServer(kx::net::SocketEventSelector* selector, const kx::net::SocketAddress& local,
                     int maxChannels = MAX_CHANNELS);
    virtual ~UdpChannelServer();
    UdpChannelServer(const UdpChannelServer&) = delete;
    UdpChannelServer& operator=(const UdpChannelServer&) = delete;

    bool isValid() const { return m_main && m_main->isOpen(); }
    kx::net::SocketAddress localAddress() const;
    // Deletes every peer channel (no callbacks).
    void close();

    int channelCount() const { return static_cast<int>(m_channels.size()); }
    UdpChannel* channel(const kx::net::SocketAddress& peer) const;
    // Visits the channels in peer order.
    void forEachChannel(const std::function<void(UdpChannel*)>& visit) const;
    UdpMainChannel* mainChannel() const { return m_main.get(); }

private:
    void _onDatagram(kx::core::Binary& data, const kx::net::SocketAddress& peer);
    void _onSent(int n, const kx::net::SocketAddress& peer);
    void _sweep();

    std::unique_ptr<UdpMainChannel> m_main;
    int m_maxChannels;
    // Keyed by the peer's address and port (numeric order), owned.
    std::map<kx::net::SocketAddress, std::unique_ptr<UdpChannel>> m_channels;
    kx::net::SocketAddress m_localAddress;
};

}  // namespace tunnel
