#include "tunnel_client/forward/udp_channel/UdpMainChannel.h"

namespace tunnel {

UdpMainChannel::UdpMainChannel(kx::net::Socket* socket, kx::net::SocketEventSelector* selector)
    : UdpSocketChannel(socket, selector) {}

void UdpMainChannel::onSocketEvent(int events) {
    if (events == 0 && onTick) onTick();
    UdpSocketChannel::onSocketEvent(events);
}

}  // namespace tunnel
