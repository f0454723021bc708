#include "lab_switch/SwitchChannel.h"

#include <algorithm>

namespace lab {

using kx::core::Binary;
using kx::net::Socket;

SwitchChannel::SwitchChannel(Socket* socket, kx::net::SocketEventSelector* selector, int limit,
                             int keepCapacity)
    : SizeHeaderTcpSocketChannel(socket, selector, limit, keepCapacity), m_frameLimit(limit) {}

void SwitchChannel::flush() {
    if (pendingSendBytes() > 0) onSocketEvent(::kx::net::ISocketEventHandler::EVENT_WRITE);
}

void SwitchChannel::_deliver(Binary& data, const bool& gone) {
    SizeHeaderTcpSocketChannel::_deliver(data, gone);
    if (gone) return;
    // What is still buffered is one unfinished frame.
    if (bufferedBytes() > m_frameLimit) abort();
}

bool SwitchChannel::_readStep(const bool& gone) {
    if (m_state != STATE_OPEN || m_recvLength < 1) return false;
    int n = std::min(m_recvLength, READ_SIZE);
    m_in.resize(n);
    int rc = _socket().receive(&m_in, 0, n);
    if (rc < 0 && Socket::lastErrorWouldBlock()) {
        m_in.clear();
        if (m_in.capacity() > KEEP_READ_BUFFER) m_in.release();
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
