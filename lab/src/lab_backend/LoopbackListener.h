#pragma once

#include <functional>
#include <memory>

#include "core/src/value/String.h"
#include "net/src/channel/TcpSocketAccepter.h"

namespace lab {

// The lab listens on loopback addresses only.
class LoopbackListener {
public:
    // A switch opens its back-end connections in bursts from one loop (1,024
    // streams of a tunnel at once); a short accept queue drops SYNs, and each
    // drop costs a one-second retry against the switch's connect limit.
    static constexpr int BACKLOG = 1024;

    // A listening accepter handing connections to onAccept, or null with a
    // reason for an address that is not loopback (127.0.0.0/8 or ::1) or a
    // port that is taken.
    static std::unique_ptr<kx::net::TcpSocketAccepter> open(
        kx::net::SocketEventSelector* selector, const kx::net::SocketAddress& listen,
        std::function<void(kx::net::Socket*)> onAccept, kx::core::String* error);
};

}  // namespace lab
