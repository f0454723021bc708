#include "lab_backend/BackendChannel.h"

namespace lab {

using kx::net::Socket;

BackendChannel::BackendChannel(Socket* socket, kx::net::SocketEventSelector* selector,
                               bool halfClose)
    : LabStreamChannel(socket, selector), m_halfClose(halfClose) {}

int BackendChannel::eventMask() {
    int mask = LabStreamChannel::eventMask();
    // A socket at end of input stays readable: polling it would spin.
    if (m_peerShutdown && m_state == STATE_OPEN)
        mask &= ~::kx::net::ISocketEventHandler::EVENT_READ;
    return mask;
}

int BackendChannel::_readTargets(iovec* targets, int max, int want) {
    return onReadTargets ? onReadTargets(targets, max, want) : 0;
}

void BackendChannel::_readInto(int32_t length, const bool& gone) {
    (void)gone;
    if (onReadInto) onReadInto(length);
}

void BackendChannel::_inputEnded() {
    m_peerShutdown = true;
    if (onPeerShutdown) onPeerShutdown();
}

}  // namespace lab
