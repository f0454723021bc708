#pragma once

#include <functional>

#include "core/src/value/Binary.h"
#include "net/src/channel/TcpSocketChannel.h"

namespace lab {

// A TCP channel for the lab's relay legs: reads up to 64 KiB per system call
// and, in half-close mode, treats the peer's FIN as the end of its input
// only. The channel then stops reading, reports onPeerShutdown and keeps
// sending; the owner closes it (gracefully) when it has nothing more to say.
class BackendChannel : public kx::net::TcpSocketChannel {
public:
    static constexpr int READ_SIZE = 65536;
    // A buffer above this is given back when the socket runs dry.
    static constexpr int KEEP_READ_BUFFER = 16384;

    std::function<void()> onPeerShutdown;

    BackendChannel(kx::net::Socket* socket, kx::net::SocketEventSelector* selector, bool halfClose);

    bool peerShutdown() const { return m_peerShutdown; }
    // Writes what is queued now rather than after another poll.
    void flush();

protected:
    int eventMask() override;

private:
    bool _readStep(const bool& gone) override;

    kx::core::Binary m_in;
    bool m_halfClose;
    bool m_peerShutdown = false;
};

}  // namespace lab
