#include "lab_network/LabStreamChannel.h"

#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <memory>

namespace lab {

using kx::net::Socket;

namespace {

// The loop thread's read buffer. Reads deliver synchronously and do not
// nest; a read that finds it busy anyway uses a buffer of its own.
struct ReadBuffer {
    std::unique_ptr<uint8_t[]> bytes;
    bool busy = false;
};
thread_local ReadBuffer t_read;
// Channels holding views, flushed together at the end of a read.
thread_local std::vector<LabStreamChannel*> t_viewed;

class ReadLease {
public:
    ReadLease() : m_shared(!t_read.busy) {
        if (!m_shared) {
            m_own.reset(new uint8_t[LabStreamChannel::READ_MAX]);
            return;
        }
        t_read.busy = true;
        if (!t_read.bytes) t_read.bytes.reset(new uint8_t[LabStreamChannel::READ_MAX]);
    }
    ~ReadLease() {
        if (m_shared) t_read.busy = false;
    }
    uint8_t* data() { return m_shared ? t_read.bytes.get() : m_own.get(); }

private:
    bool m_shared;
    std::unique_ptr<uint8_t[]> m_own;
};

#ifdef MSG_NOSIGNAL
const int GATHER_FLAGS = MSG_NOSIGNAL;
#else
const int GATHER_FLAGS = 0;
#endif
#ifdef IOV_MAX
const size_t GATHER_MAX = IOV_MAX;
#else
const size_t GATHER_MAX = 1024;
#endif

}  // namespace

LabStreamChannel::LabStreamChannel(Socket* socket, kx::net::SocketEventSelector* selector)
    : TcpSocketChannel(socket, selector) {}

LabStreamChannel::~LabStreamChannel() {
    _unlist();
}

void LabStreamChannel::_unlist() {
    if (!m_listed) return;
    m_listed = false;
    for (LabStreamChannel*& listed : t_viewed) {
        if (listed == this) listed = nullptr;
    }
}

void LabStreamChannel::flushAllViews() {
    // onSent may add views (and list channels) or destroy channels (which
    // unlist themselves): walk by index.
    for (size_t i = 0; i < t_viewed.size(); ++i) {
        LabStreamChannel* channel = t_viewed[i];
        if (!channel) continue;
        int64_t written = channel->flushViews();
        if (written > 0 && channel->onSent) channel->onSent(int(written));
    }
    t_viewed.clear();
}

void LabStreamChannel::flush() {
    if (pendingSendBytes() > 0) onSocketEvent(::kx::net::ISocketEventHandler::EVENT_WRITE);
}

void LabStreamChannel::addView(const uint8_t* data, int32_t length) {
    if (length <= 0 || state() != STATE_OPEN) return;
    if (!m_listed) {
        m_listed = true;
        t_viewed.push_back(this);
    }
    m_views.push_back(iovec{const_cast<uint8_t*>(data), size_t(length)});
    m_viewBytes += length;
}

int64_t LabStreamChannel::flushViews() {
    _unlist();
    if (m_views.empty()) return 0;
    int64_t written = 0;
    size_t first = 0;
    size_t skip = 0;  // bytes of m_views[first] already written
    // Only behind an empty queue: what is queued goes first.
    bool direct = state() == STATE_OPEN && pendingSendBytes() == 0 && !m_socket.isBlocking();
    while (direct && first < m_views.size()) {
        m_views[first].iov_base = static_cast<uint8_t*>(m_views[first].iov_base) + skip;
        m_views[first].iov_len -= skip;
        skip = 0;
        msghdr message = {};
        message.msg_iov = &m_views[first];
        message.msg_iovlen = std::min(m_views.size() - first, GATHER_MAX);
        ssize_t rc = ::sendmsg(m_socket.handle(), &message, GATHER_FLAGS);
        // Would block, or failed: the queue takes the rest, and a failure
        // shows (and is reported) at the next write.
        if (rc <= 0) break;
        written += rc;
        size_t left = size_t(rc);
        while (first < m_views.size() && left >= m_views[first].iov_len) {
            left -= m_views[first].iov_len;
            ++first;
        }
        if (left > 0) {
            skip = left;
            break;
        }
    }
    for (size_t i = first; i < m_views.size(); ++i) {
        const uint8_t* base = static_cast<const uint8_t*>(m_views[i].iov_base) + skip;
        send(base, int(m_views[i].iov_len - skip), kx::core::Binary());
        skip = 0;
    }
    m_views.clear();
    m_viewBytes = 0;
    if (written > 0) m_idleTimer.reset();
    return written;
}

void LabStreamChannel::_received(const uint8_t* data, int32_t length, const bool& gone) {
    m_in.clear();
    m_in.append(data, length);
    _deliver(m_in, gone);
    if (gone) return;
    m_in.clear();
    if (m_in.capacity() > KEEP_CAPACITY) m_in.release();
}

void LabStreamChannel::_adapt(int got, int asked) {
    if (got == asked && asked == m_readSize) {
        m_readSize = std::min(m_readSize * 2, READ_MAX);
    } else if (got < m_readSize / 4) {
        m_readSize = std::max(m_readSize / 2, READ_MIN);
    }
}

bool LabStreamChannel::_readStepInto(iovec* targets, int count, const bool& gone) {
    int asked = 0;
    for (int i = 0; i < count; ++i) asked += int(targets[i].iov_len);
    ssize_t rc = ::readv(m_socket.handle(), targets, count);
    if (rc < 1) {
        bool wouldBlock = rc < 0 && Socket::lastErrorWouldBlock();
        _readInto(0, gone);
        if (gone || wouldBlock) return false;
        if (rc == 0 && _halfClose()) {
            m_inputEnded = true;
            m_idleTimer.reset();
            _inputEnded();
            return false;
        }
        _closeAndReport();
        return false;
    }
    _adapt(int(rc), asked);
    m_recvLength -= int(rc);
    m_idleTimer.reset();
    _readInto(int32_t(rc), gone);
    flushAllViews();
    return !gone && rc == asked;
}

bool LabStreamChannel::_readStep(const bool& gone) {
    if (m_state != STATE_OPEN || m_recvLength < 1 || m_inputEnded) return false;
    int n = std::min(m_recvLength, m_readSize);
    iovec targets[READ_TARGETS];
    int count = _readTargets(targets, READ_TARGETS, n);
    if (count > 0) return _readStepInto(targets, count, gone);
    ReadLease lease;
    int rc = m_socket.receive(lease.data(), n);
    if (rc < 0 && Socket::lastErrorWouldBlock()) return false;
    if (rc == 0 && _halfClose()) {
        m_inputEnded = true;
        m_idleTimer.reset();
        _inputEnded();
        return false;
    }
    if (rc < 1) {
        _closeAndReport();
        return false;
    }
    bool full = rc == n;
    _adapt(rc, n);
    m_recvLength -= rc;
    m_idleTimer.reset();
    _received(lease.data(), rc, gone);
    // Views into the read buffer go out before it is reused.
    flushAllViews();
    // A short read drained the socket: another would only say EAGAIN.
    return !gone && full;
}

}  // namespace lab
