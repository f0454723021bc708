#include "net/src/channel/TcpSocketChannel.h"

#include <algorithm>
#include <climits>

#include "core/src/debug/Assert.h"

namespace kx {
namespace net {

TcpSocketChannel::TcpSocketChannel(Socket* socket, SocketEventSelector* selector)
    : SelectorChannel(selector, IDLE_TIMEOUT_MS),
      m_sendPos(0),
      m_recvKeep(KEEP_CAPACITY),
      m_sendKeep(KEEP_CAPACITY) {
    if (!_adopt(socket)) return;
    m_peerAddress = m_socket.peerAddress();
    if (!selector || selector->hasEventHandler(m_socket.handle())) return;
    if (!_registerHandler()) {
        // A full selector is resource exhaustion, not a broken invariant: the
        // connection is dropped and the owner sees a channel that is not open.
        m_socket.setLinger(true, 0);
        m_socket.close();
        m_state = STATE_INVALID;
    }
}

TcpSocketChannel::~TcpSocketChannel() {
    if (m_socket.isValid()) _close();
}

void TcpSocketChannel::setKeepCapacity(int receive, int send) {
    m_recvKeep = std::max(0, receive);
    m_sendKeep = std::max(0, send);
}

bool TcpSocketChannel::send(const core::Binary& data) {
    if (m_state != STATE_OPEN) return false;
    if (data.isEmpty()) return true;
    if (int64_t(m_sendQueue.length()) + data.length() > INT32_MAX - 1) return false;
    m_sendQueue.append(data);
    _queued(data.length());
    return true;
}

bool TcpSocketChannel::send(core::Binary&& data) {
    if (m_state != STATE_OPEN) return false;
    if (data.isEmpty()) return true;
    int length = data.length();
    if (m_sendQueue.isEmpty() && m_sendQueue.capacity() <= data.capacity()) {
        m_sendQueue.swap(data);
    } else {
        if (int64_t(m_sendQueue.length()) + length > INT32_MAX - 1) return false;
        m_sendQueue.append(data);
    }
    _queued(length);
    return true;
}

void TcpSocketChannel::abort() {
    if (m_state != STATE_OPEN && m_state != STATE_CLOSING) return;
    m_recvLength = 0;
    m_sendBuffer.clear();
    m_sendQueue.clear();
    m_sendPos = 0;
    _sendDropped();
    m_socket.setLinger(true, 0);
    m_socket.shutdown(Socket::SHUT_RECEIVE);
    m_state = STATE_ABORTING;
}

void TcpSocketChannel::_trim(core::Binary& buffer, int keep) {
    buffer.clear();
    if (buffer.capacity() > keep) buffer.release();
}

void TcpSocketChannel::_close() {
    if (!m_socket.isValid()) return;
    KX_ASSERT(STATE_INVALID != m_state);
    m_recvLength = 0;
    m_recvBuffer.release();
    m_sendBuffer.release();
    m_sendQueue.release();
    m_sendPos = 0;
    _sendDropped();
    if (m_state == STATE_CLOSING) {
        // Unread input would turn the close into a reset that can destroy the
        // data we just flushed; drop what is already here, then FIN.
        char sink[4096];
        for (int i = 0; i < 64 && m_socket.receive(sink, sizeof(sink)) > 0; ++i) {
        }
        m_socket.shutdown(Socket::SHUT_SEND);
    }
    Socket tmp;
    KX_ASSERT(this->exportSocket(&tmp));
    tmp.close();
    m_state = STATE_INVALID;
}

void TcpSocketChannel::_deliver(core::Binary& data, const bool& gone) {
    (void)gone;
    if (onReceive) onReceive(data);
}

bool TcpSocketChannel::_readStep(const bool& gone) {
    if (m_state != STATE_OPEN || m_recvLength < 1) return false;
    int n = std::min(m_recvLength, READ_CHUNK);
    // The descriptor is non-blocking, so "not ready" is EAGAIN rather than a
    // separate poll() per read; a socket that could not be switched is checked.
    if (m_socket.isBlocking() && !m_socket.waitReady(true, false, false, 0)) return false;
    m_recvBuffer.resize(n);
    int rc = m_socket.receive(&m_recvBuffer, 0, n);
    if (rc < 0 && Socket::lastErrorWouldBlock()) {
        m_recvBuffer.clear();
        return false;
    }
    if (rc < 1) {
        _closeAndReport();
        return false;
    }
    m_recvBuffer.resize(rc);
    m_recvLength -= rc;
    KX_ASSERT(m_recvLength >= 0);
    _deliver(m_recvBuffer, gone);
    if (gone) return false;
    _trim(m_recvBuffer, m_recvKeep);
    m_idleTimer.reset();
    return true;
}

bool TcpSocketChannel::_writeStep(const bool& gone) {
    if (m_state != STATE_OPEN && m_state != STATE_CLOSING) return false;
    if (m_sendBuffer.isEmpty()) {
        if (m_sendQueue.isEmpty()) return false;
        m_sendBuffer.swap(m_sendQueue);
        m_sendPos = 0;
    }
    int limit = m_sendBuffer.length() - m_sendPos;
    KX_ASSERT(limit > 0);
    limit = _writeLimit(limit);
    if (m_socket.isBlocking() && !m_socket.waitReady(false, true, false, 0)) return false;
    int rc = m_socket.send(m_sendBuffer, m_sendPos, limit);
    if (rc < 0 && Socket::lastErrorWouldBlock()) return false;
    if (rc < 1) {
        _closeAndReport();
        return false;
    }
    m_sendPos += rc;
    KX_ASSERT(m_sendPos <= m_sendBuffer.length());
    _written(rc);
    if (m_sendPos == m_sendBuffer.length()) {
        m_sendPos = 0;
        m_sendBuffer.clear();
        // While more is queued the storage is swapped in again at once, so it
        // is kept; only an idle channel gives large buffers back.
        if (m_sendQueue.isEmpty()) {
            _trim(m_sendBuffer, m_sendKeep);
            _trim(m_sendQueue, m_sendKeep);
        }
    }
    m_idleTimer.reset();
    if (onSent) onSent(rc);
    return !gone;
}

}  // namespace net
}  // namespace kx
