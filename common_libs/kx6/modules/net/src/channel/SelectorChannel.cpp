#include "net/src/channel/SelectorChannel.h"

#include <climits>

namespace kx {
namespace net {

SelectorChannel::SelectorChannel(SocketEventSelector* selector, int idleTimeoutMs)
    : m_selector(selector),
      m_state(STATE_INVALID),
      m_idleTimer(idleTimeoutMs),
      m_recvLength(0),
      m_inEvent(false),
      m_gone(nullptr),
      m_registered(false) {}

SelectorChannel::~SelectorChannel() {
    if (m_gone) *m_gone = true;
}

bool SelectorChannel::_adopt(Socket* socket) {
    if (!socket || !socket->isValid()) return false;
    m_socket.swap(*socket);
    // Accepted sockets come non-blocking already: spare the two fcntl calls.
    if (m_socket.isBlocking()) m_socket.setBlocking(false);
    m_localAddress = m_socket.localAddress();
    m_state = STATE_OPEN;
    return true;
}

bool SelectorChannel::_registerHandler() {
    m_registered = m_selector->addEventHandler(m_socket.handle(), this);
    return m_registered;
}

bool SelectorChannel::recv(int length) {
    if (m_state != STATE_OPEN || m_inputEnded || length < 0) return false;
    if (m_recvLength > INT_MAX - length) return false;
    m_recvLength += length;
    return true;
}

void SelectorChannel::closeGracefully() {
    if (m_state != STATE_OPEN) return;
    m_recvLength = 0;
    m_state = STATE_CLOSING;
}

void SelectorChannel::closeNow() {
    if (!m_socket.isValid()) return;
    _closeAndReport();
}

bool SelectorChannel::exportSocket(Socket* out) {
    if (!out || out->isValid() || !m_socket.isValid()) return false;
    if (m_registered && m_selector) m_selector->removeEventHandler(m_socket.handle());
    m_registered = false;
    out->swap(m_socket);
    m_state = STATE_INVALID;
    return true;
}

void SelectorChannel::_requestFlush() {
    if (m_registered && m_selector && !m_inEvent) m_selector->requestFlush(m_socket.handle());
}

void SelectorChannel::_closeAndReport() {
    _close();
    if (onClosed) onClosed();
}

int SelectorChannel::eventMask() {
    if (!m_socket.isValid()) return 0;
    if (m_state == STATE_ABORTING) return EVENT_READ;
    int mask = 0;
    if (m_state == STATE_OPEN && m_recvLength >= 1) mask |= EVENT_READ;
    if ((m_state == STATE_OPEN || m_state == STATE_CLOSING) && _hasPendingSend()) {
        mask |= EVENT_WRITE;
    }
    return mask;
}

void SelectorChannel::onSocketEvent(int events) {
    if (!m_socket.isValid() || m_inEvent) return;
    bool gone = false;
    m_inEvent = true;
    m_gone = &gone;
    if (events & EVENT_READ) {
        // Bounded, so that a peer writing as fast as we read cannot keep the
        // loop from everybody else; what is left is read next round. What one
        // read produced elsewhere (frames, grants) is written before the
        // next read, several frames per system call.
        const int burst = _readBurst();
        for (int i = 0; i < burst && _readStep(gone); ++i) {
            if (m_selector) m_selector->flushPending();
            if (gone) return;
        }
        if (gone) return;
    }
    // Reading may have queued an answer here: try it at once rather than
    // after another poll; a full socket just says EAGAIN.
    if ((events & EVENT_WRITE) || (events != 0 && _hasPendingSend())) {
        while (_writeStep(gone)) {
        }
        if (gone) return;
    }
    _stateCheck(gone);
    if (gone) return;
    m_gone = nullptr;
    m_inEvent = false;
}

void SelectorChannel::_stateCheck(const bool& gone) {
    if (!m_socket.isValid()) return;
    if (m_idleTimer.interval() > 0 && m_idleTimer.isExpired()) {
        if (onTimeout) onTimeout();
        if (gone) return;
        if (m_socket.isValid()) _closeAndReport();
        return;
    }
    if (m_state == STATE_CLOSING && !_hasPendingSend()) {
        _closeAndReport();
    } else if (m_state == STATE_ABORTING) {
        _closeAndReport();
    }
}

}  // namespace net
}  // namespace kx
