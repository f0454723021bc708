#include "net/src/channel/UdpSocketChannel.h"

#include <errno.h>

#include <climits>

#include "core/src/debug/Assert.h"

namespace kx {
namespace net {

UdpSocketChannel::UdpSocketChannel(Socket* socket, SocketEventSelector* selector)
    : m_selector(selector),
      m_state(STATE_INVALID),
      m_idleTimer(0),
      m_inEvent(false),
      m_gone(nullptr),
      m_registered(false),
      m_recvLength(0) {
    if (!socket || !socket->isValid()) return;
    m_socket.swap(*socket);
    m_socket.setBlocking(false);
    m_localAddress = m_socket.localAddress();
    m_state = STATE_OPEN;
    if (!m_selector) return;
    m_registered = m_selector->addEventHandler(m_socket.handle(), this);
    if (!m_registered) {
        // Full selector: resource exhaustion, reported as a closed channel.
        m_socket.close();
        m_state = STATE_INVALID;
    }
}

UdpSocketChannel::~UdpSocketChannel() {
    if (m_gone) *m_gone = true;
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

bool UdpSocketChannel::recv(int length) {
    if (m_state != STATE_OPEN || length < 0) return false;
    if (m_recvLength > INT_MAX - length) return false;
    m_recvLength += length;
    return true;
}

void UdpSocketChannel::closeGracefully() {
    if (m_state != STATE_OPEN) return;
    m_recvLength = 0;
    m_state = STATE_CLOSING;
}

void UdpSocketChannel::abort() {
    if (m_state != STATE_OPEN && m_state != STATE_CLOSING) return;
    m_recvLength = 0;
    m_sendQueue.clear();
    m_socket.shutdown(Socket::SHUT_RECEIVE);
    m_state = STATE_ABORTING;
}

void UdpSocketChannel::closeNow() {
    if (!m_socket.isValid()) return;
    _closeAndReport();
}

bool UdpSocketChannel::exportSocket(Socket* out) {
    if (!out || out->isValid() || !m_socket.isValid()) return false;
    if (m_registered && m_selector) m_selector->removeEventHandler(m_socket.handle());
    m_registered = false;
    out->swap(m_socket);
    m_state = STATE_INVALID;
    return true;
}

void UdpSocketChannel::_close() {
    if (!m_socket.isValid()) return;
    KX_ASSERT(STATE_INVALID != m_state);
    m_recvLength = 0;
    m_recvBuffer.release();
    m_scratch.release();
    m_sendQueue.clear();
    Socket tmp;
    KX_ASSERT(this->exportSocket(&tmp));
    tmp.close();
    m_state = STATE_INVALID;
}

void UdpSocketChannel::_closeAndReport() {
    _close();
    if (onClosed) onClosed();
}

int UdpSocketChannel::eventMask() {
    if (!m_socket.isValid() || !m_selector) return 0;
    if (m_state == STATE_ABORTING) return EVENT_READ;
    int mask = 0;
    if (m_state == STATE_OPEN && m_recvLength >= 1) mask |= EVENT_READ;
    if ((m_state == STATE_OPEN || m_state == STATE_CLOSING) && !m_sendQueue.empty()) {
        mask |= EVENT_WRITE;
    }
    return mask;
}

void UdpSocketChannel::onSocketEvent(int events) {
    if (!m_socket.isValid() || m_inEvent) return;
    bool gone = false;
    m_inEvent = true;
    m_gone = &gone;
    if (events & EVENT_READ) {
        // Bounded, so that a peer writing as fast as we read cannot keep the
        // loop from everybody else; what is left is read next round.
        for (int i = 0; i < READ_BURST && _readStep(gone); ++i) {
        }
        if (gone) return;
    }
    if (events & EVENT_WRITE) {
        while (_writeStep(gone)) {
        }
        if (gone) return;
    }
    _stateCheck(gone);
    if (gone) return;
    m_gone = nullptr;
    m_inEvent = false;
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

void UdpSocketChannel::_stateCheck(const bool& gone) {
    if (!m_socket.isValid()) return;
    if (m_idleTimer.interval() > 0 && m_idleTimer.isExpired()) {
        if (onTimeout) onTimeout();
        if (gone) return;
        if (m_socket.isValid()) _closeAndReport();
        return;
    }
    if (m_state == STATE_CLOSING && m_sendQueue.empty()) {
        _closeAndReport();
    } else if (m_state == STATE_ABORTING) {
        _closeAndReport();
    }
}

}  // namespace net
}  // namespace kx
