#pragma once

#include <functional>

#include "net/src/channel/UdpSocketChannel.h"

namespace tunnel {

// The server's socket channel: a UdpSocketChannel that also reports the
// selector's periodic call (before its own handling), for the peer sweep.
class UdpMainChannel : public kx::net::UdpSocketChannel {
public:
    std::function<void()> onTick;

    UdpMainChannel(kx::net::Socket* socket, kx::net::SocketEventSelector* selector);

protected:
    void onSocketEvent(int events) override;
};

}  // namespace tunnel
