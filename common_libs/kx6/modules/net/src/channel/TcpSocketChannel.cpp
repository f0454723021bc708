#include "net/src/channel/TcpSocketChannel.h"

#include <algorithm>
#include <climits>

#include "core/src/debug/Assert.h"

namespace kx {
namespace net {

TcpSocketChannel::TcpSocketChannel(Socket* socket, SocketEventSelector* selector)
    : SelectorChannel(selector, IDLE_TIMEOUT_MS),
      m_recvKeep(KEEP_CAPACITY),
      m_sendKeep(KEEP_CAPACITY) {
    m_sendQueue.setKeep(m_sendKeep);
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
    m_sendQueue.setKeep(m_sendKeep);
}

void TcpSocketChannel::_afterQueued(int length) {
    _queued(length);
    _requestFlush();
}

bool TcpSocketChannel::send(const core::Binary& data) {
    if (m_state != STATE_OPEN) return false;
    if (data.isEmpty()) return true;
    if (!_fits(data.length())) return false;
    m_sendQueue.append(data.data(), data.length());
    _afterQueued(data.length());
    return true;
}

bool TcpSocketChannel::send(const void* head, int headLength, const core::Binary& body) {
    if (m_state != STATE_OPEN || headLength < 0) return false;
    int64_t length = int64_t(headLength) + body.length();
    if (length == 0) return true;
    if (!_fits(length)) return false;
    m_sendQueue.append(head, headLength);
    m_sendQueue.append(body.data(), body.length());
    _afterQueued(int(length));
    return true;
}

bool TcpSocketChannel::send(const void* head, int headLength,
                            const std::shared_ptr<const core::Binary>& shared) {
    if (!shared) return send(head, headLength, core::Binary());
    if (m_state != STATE_OPEN || headLength < 0) return false;
    int64_t length = int64_t(headLength) + shared->length();
    if (length == 0) return true;
    if (!_fits(length)) return false;
    m_sendQueue.append(head, headLength);
    // Short bodies are cheaper copied than referenced.
    if (shared->length() < SendQueue::ADOPT_MIN) {
        m_sendQueue.append(shared->data(), shared->length());
    } else {
        m_sendQueue.append(shared, 0, shared->length());
    }
    _afterQueued(int(length));
    return true;
}

bool TcpSocketChannel::send(core::Binary&& data) {
    if (m_state != STATE_OPEN) return false;
    if (data.isEmpty()) return true;
    int length = data.length();
    if (!_fits(length)) return false;
    m_sendQueue.append(std::move(data));
    _afterQueued(length);
    return true;
}

void TcpSocketChannel::abort() {
    if (m_state != STATE_OPEN && m_state != STATE_CLOSING) return;
    m_recvLength = 0;
    m_sendQueue.clear();
    _sendDropped();
    m_socket.setLinger(true, 0);
    m_socket.shutdown(Socket::SHUT_RECEIVE);
    m_state = STATE_ABORTING;
}

void TcpSocketChannel::_close() {
    if (!m_socket.isValid()) return;
    KX_ASSERT(STATE_INVALID != m_state);
    m_recvLength = 0;
    m_recvBuffer.release();
    m_sendQueue.clear();
    m_sendQueue.releaseSpare();
    _sendDropped();
    if (m_state == STATE_CLOSING) {
        // Unread input would turn the close into a reset that can destroy the
        // data we just flushed; drop what is already here, then FIN.
        char sink[DRAIN_CHUNK];
        for (int i = 0; i < DRAIN_READS && m_socket.receive(sink, sizeof(sink)) > 0; ++i) {
        }
        m_socket.shutdown(Socket::SHUT_SEND);
    }
    Socket tmp;
    // Never inside the assertion: the export must happen in every build.
    bool exported = this->exportSocket(&tmp);
    KX_ASSERT(exported);
    tmp.close();
    m_state = STATE_INVALID;
}

void TcpSocketChannel::_deliver(core::Binary& data, const bool& gone) {
    (void)gone;
    if (onReceive) onReceive(data);
}

namespace {

// The loop thread's read buffer. A read delivers synchronously and reads do
// not nest, but a channel that finds it busy falls back to its own buffer.
struct ReadBuffer {
    core::Binary buffer;
    bool busy = false;
};
thread_local ReadBuffer t_read;

class ReadBufferLease {
public:
    // `gone` turns true when a callback destroyed the owner of `own`.
    ReadBufferLease(core::Binary* own, int keep, const bool& gone)
        : m_shared(!t_read.busy), m_own(own), m_keep(keep), m_gone(gone) {
        if (m_shared) t_read.busy = true;
    }
    ~ReadBufferLease() {
        if (!m_shared && m_gone) return;
        core::Binary& b = buffer();
        b.clear();
        if (m_shared) {
            // A callback may have swapped a large buffer in; keep one chunk
            // (its capacity is the next power of two above the chunk).
            if (b.capacity() > 2 * TcpSocketChannel::READ_CHUNK) b.release();
            t_read.busy = false;
        } else if (b.capacity() > m_keep) {
            b.release();
        }
    }
    core::Binary& buffer() { return m_shared ? t_read.buffer : *m_own; }

private:
    bool m_shared;
    core::Binary* m_own;
    int m_keep;
    const bool& m_gone;
};

}  // namespace

bool TcpSocketChannel::_readStep(const bool& gone) {
    if (m_state != STATE_OPEN || m_recvLength < 1) return false;
    int n = std::min(m_recvLength, m_readSize);
    // The descriptor is non-blocking, so "not ready" is EAGAIN rather than a
    // separate poll() per read; a socket that could not be switched is checked.
    if (m_socket.isBlocking() && !m_socket.waitReady(true, false, false, 0)) return false;
    ReadBufferLease lease(&m_recvBuffer, m_recvKeep, gone);
    core::Binary& buffer = lease.buffer();
    buffer.resizeForOverwrite(n);
    int rc = m_socket.receive(&buffer, 0, n);
    if (rc < 0 && Socket::lastErrorWouldBlock()) return false;
    if (rc == 0 && onInputEnded) {
        m_recvLength = 0;
        m_inputEnded = true;
        onInputEnded();
        return false;
    }
    if (rc < 1) {
        _closeAndReport();
        return false;
    }
    if (rc == n && n == m_readSize) {
        m_readSize = std::min(m_readSize * 2, READ_CHUNK);
    } else if (rc < m_readSize / 4) {
        m_readSize = std::max(m_readSize / 2, READ_CHUNK_MIN);
    }
    buffer.resize(rc);
    m_recvLength -= rc;
    KX_ASSERT(m_recvLength >= 0);
    _deliver(buffer, gone);
    if (gone) return false;
    m_idleTimer.reset();
    // A short read emptied the socket: another would only say EAGAIN, and
    // poll reports whatever arrives meanwhile.
    return rc == n;
}

bool TcpSocketChannel::_writeStep(const bool& gone) {
    if (m_state != STATE_OPEN && m_state != STATE_CLOSING) return false;
    if (m_sendQueue.isEmpty()) return false;
    int limit = int(std::min<int64_t>(m_sendQueue.bytes(), INT_MAX));
    limit = _writeLimit(limit);
    KX_ASSERT(limit > 0);
    if (m_socket.isBlocking() && !m_socket.waitReady(false, true, false, 0)) return false;
    iovec iov[SendQueue::MAX_GATHER];
    int count = m_sendQueue.gather(iov, SendQueue::MAX_GATHER, limit);
    size_t asked = 0;
    for (int i = 0; i < count; ++i) asked += iov[i].iov_len;
    int rc = m_socket.sendGather(iov, count);
    if (rc < 0 && Socket::lastErrorWouldBlock()) return false;
    if (rc < 1) {
        _closeAndReport();
        return false;
    }
    m_sendQueue.consume(rc);
    _written(rc);
    m_idleTimer.reset();
    _sent(rc, gone);
    // A short write means the socket buffer is full: asking again would
    // only return EAGAIN.
    return !gone && size_t(rc) == asked;
}

}  // namespace net
}  // namespace kx
