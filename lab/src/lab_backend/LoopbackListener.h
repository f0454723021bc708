#pragma once

#include <functional>
#include <memory>

#include "core/src/value/String.h"
#include "net/src/channel/TcpSocketAccepter.h"

namespace lab {

// The lab listens on loopback addresses only.
class LoopbackListener {
public:
    // A listening accepter handing connections to onAccept, or null with a
    // reason for an address outside 127.0.0.0/8 or a port that is taken.
    static std::unique_ptr<kx::net::TcpSocketAccepter> open(
        kx::net::SocketEventSelector* selector, const kx::net::SocketAddress& listen,
        std::function<void(kx::net::Socket*)> onAccept, kx::core::String* error);
};

}  // namespace lab
