#pragma once

#include <cstdint>
#include <functional>

#include "lab_network/LabStreamChannel.h"

namespace lab {

// A TCP channel for the lab's relay legs. In half-close mode the peer's FIN
// ends its input only: the channel stops reading, reports onPeerShutdown and
// keeps sending; the owner closes it (gracefully) when it has nothing more to
// say. With onReadTargets set, reads go into the owner's buffers and
// onReadInto tells how much landed (0: nothing, the buffers are free again)
// instead of onReceive.
class BackendChannel : public LabStreamChannel {
public:
    std::function<void()> onPeerShutdown;
    std::function<int(iovec*, int, int)> onReadTargets;
    std::function<void(int32_t)> onReadInto;

    BackendChannel(kx::net::Socket* socket, kx::net::SocketEventSelector* selector, bool halfClose);

    bool peerShutdown() const { return m_peerShutdown; }

protected:
    int eventMask() override;
    int _readTargets(iovec* targets, int max, int want) override;
    void _readInto(int32_t length, const bool& gone) override;
    bool _halfClose() const override { return m_halfClose; }
    void _inputEnded() override;

private:
    bool m_halfClose;
    bool m_peerShutdown = false;
};

}  // namespace lab
