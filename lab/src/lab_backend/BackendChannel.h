#pragma once

#include <cstdint>
#include <functional>

#include "lab_network/LabStreamChannel.h"

namespace lab {

// A TCP channel for the lab's relay legs. In half-close mode the peer's FIN
// ends its input only: the channel stops reading, reports onPeerShutdown and
// keeps sending; the owner closes it (gracefully) when it has nothing more to
// say. With onData set, reads arrive as views of the read buffer (valid only
// during the call) instead of through onReceive.
class BackendChannel : public LabStreamChannel {
public:
    std::function<void()> onPeerShutdown;
    std::function<void(const uint8_t*, int32_t)> onData;

    BackendChannel(kx::net::Socket* socket, kx::net::SocketEventSelector* selector, bool halfClose);

    bool peerShutdown() const { return m_peerShutdown; }

protected:
    int eventMask() override;
    void _received(const uint8_t* data, int32_t length, const bool& gone) override;
    bool _halfClose() const override { return m_halfClose; }
    void _inputEnded() override;

private:
    bool m_halfClose;
    bool m_peerShutdown = false;
};

}  // namespace lab
