#include "lab_backend/BackendChannel.h"

#include <algorithm>

namespace lab {

using kx::net::Socket;

BackendChannel::BackendChannel(Socket* socket, kx::net::SocketEventSelector* selector,
                               bool halfClose)
    : TcpSocketChannel(socket, selector), m_halfClose(halfClose) {}

void BackendChannel::flush() {
    if (pendingSendBytes() > 0) onSocketEvent(::kx::net::ISocketEventHandler::EVENT_WRITE);
}

int BackendChannel::eventMask() {
    int mask = TcpSocketChannel::eventMask();
    // A socket at end of input stays readable: polling it would spin.
    if (m_peerShutdown && m_state == STATE_OPEN)
        mask &= ~::kx::net::ISocketEventHandler::EVENT_READ;
    return mask;
}

bool BackendChannel::_readStep(const bool& gone) {
    if (m_state != STATE_OPEN || m_recvLength < 1 || m_peerShutdown) return false;
    int n = std::min(m_recvLength, READ_SIZE);
    m_in.resize(n);
    int rc = _socket().receive(&m_in, 0, n);
    if (rc < 0 && Socket::lastErrorWouldBlock()) {
        m_in.clear();
        if (m_in.capacity() > KEEP_READ_BUFFER) m_in.release();
        return false;
    }
    if (rc == 0 && m_halfClose) {
        m_in.release();
        m_peerShutdown = true;
        m_idleTimer.reset();
        if (onPeerShutdown) onPeerShutdown();
        return false;
    }
    if (rc < 1) {
        _closeAndReport();
        return false;
    }
    m_in.resize(rc);
    m_recvLength -= rc;
    _deliver(m_in, gone);
    if (gone) return false;
    m_in.clear();
    m_idleTimer.reset();
    return true;
}

}  // namespace lab
