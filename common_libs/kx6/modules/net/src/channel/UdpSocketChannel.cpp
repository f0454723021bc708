#include "net/src/channel/UdpSocketChannel.h"

#include <errno.h>

#include "core/src/debug/Assert.h"

namespace kx {
namespace net {

UdpSocketChannel::UdpSocketChannel(Socket* socket, SocketEventSelector* selector)
    : SelectorChannel(selector, 0) {
    if (!_adopt(socket)) return;
    if (!m_selector) return;
    if (!_registerHandler()) {
        // Full selector: resource exhaustion, reported as a closed channel.
        m_socket.close();
        m_state = STATE_INVALID;
    }
}

UdpSocketChannel::~UdpSocketChannel() {
    if (m_socket.isValid()) _close();
}

bool UdpSocketChannel::sendTo(const core::Binary& data, const SocketAddress& to) {
    if (m_state != STATE_OPEN || !m_selector) return false;
    m_sendQueue.emplace_back(to, data);
    return true;
}

bool UdpSocketChannel::sendTo(core::Binary&& data, const SocketAddress& to) {
    if (m_state != STATE_OPEN || !m_selector) return false;
    m_sendQueue.emplace_back(to, std::move(data));
    return true;
}

void UdpSocketChannel::abort() {
    if (m_state != STATE_OPEN && m_state != STATE_CLOSING) return;
    m_recvLength = 0;
    m_sendQueue.clear();
    m_socket.shutdown(Socket::SHUT_RECEIVE);
    m_state = STATE_ABORTING;
}

void UdpSocketChannel::_close() {
    if (!m_socket.isValid()) return;
    KX_ASSERT(STATE_INVALID != m_state);
    m_recvLength = 0;
    m_recvBuffer.release();
    m_scratch.release();
    m_sendQueue.clear();
    Socket tmp;
    bool exported = this->exportSocket(&tmp);  // outside the assertion: always runs
    KX_ASSERT(exported);
    tmp.close();
    m_state = STATE_INVALID;
}

int UdpSocketChannel::eventMask() {
    if (!m_selector) return 0;
    return SelectorChannel::eventMask();
}

bool UdpSocketChannel::_readStep(const bool& gone) {
    if (m_state != STATE_OPEN || m_recvLength < 1) return false;
    if (m_socket.isBlocking() && !m_socket.waitReady(true, false, false, 0)) return false;
    // Read into scratch memory so that only the datagram's bytes are copied,
    // not 64 KiB zeroed per datagram.
    if (m_scratch.length() != MAX_DATAGRAM) m_scratch.resize(MAX_DATAGRAM);
    SocketAddress from;
    int rc = m_socket.receiveFrom(&m_scratch, 0, MAX_DATAGRAM, &from);
    if (rc < 0) {
        // ECONNREFUSED is an ICMP echo of an earlier send, not a socket failure.
        if (Socket::lastErrorWouldBlock() || errno == ECONNREFUSED) return false;
        _closeAndReport();
        return false;
    }
    // An empty datagram is legal; dropping it keeps one sender from closing
    // the socket for every other peer.
    if (rc == 0) return true;
    m_recvBuffer.clear();
    m_recvBuffer.append(m_scratch.data(), rc);
    m_recvLength -= rc;
    if (onReceive) onReceive(m_recvBuffer, from);
    if (gone) return false;
    m_recvBuffer.clear();
    m_idleTimer.reset();
    return true;
}

bool UdpSocketChannel::_writeStep(const bool& gone) {
    if (m_state != STATE_OPEN && m_state != STATE_CLOSING) return false;
    if (m_sendQueue.empty()) return false;
    if (m_socket.isBlocking() && !m_socket.waitReady(false, true, false, 0)) return false;
    std::pair<SocketAddress, core::Binary>& front = m_sendQueue.front();
    int rc = m_socket.sendTo(front.second, 0, front.second.length(), front.first);
    if (rc < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    SocketAddress to = front.first;
    m_sendQueue.pop_front();
    m_idleTimer.reset();
    if (rc >= 0 && onSent) {
        onSent(rc, to);
        if (gone) return false;
    }
    return true;
}

}  // namespace net
}  // namespace kx
