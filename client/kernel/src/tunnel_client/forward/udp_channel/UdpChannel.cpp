#include "tunnel_client/forward/udp_channel/UdpChannel.h"

#include <climits>

#include "core/src/debug/Assert.h"

namespace tunnel {

UdpChannel::UdpChannel(kx::net::UdpSocketChannel* socketChannel, const kx::net::SocketAddress& peer)
    : m_socketChannel(socketChannel),
      m_peer(peer),
      m_idleTimer(0),
      m_state(STATE_OPEN),
      m_recvLength(0) {
    KX_ASSERT(m_socketChannel);
}

UdpChannel::~UdpChannel() = default;

bool UdpChannel::send(const kx::core::Binary& datagram) {
    return m_socketChannel->sendTo(datagram, m_peer);
}

bool UdpChannel::send(kx::core::Binary&& datagram) {
    return m_socketChannel->sendTo(std::move(datagram), m_peer);
}

bool UdpChannel::recv(int length) {
    if (m_state == STATE_CLOSED || length < 0) return false;
    if (m_recvLength > INT_MAX - length) return false;
    m_recvLength += length;
    _flush();
    return true;
}

void UdpChannel::closeGracefully() {
    if (m_state == STATE_OPEN) m_state = STATE_CLOSING;
}

void UdpChannel::abort() {
    if (m_state == STATE_OPEN || m_state == STATE_CLOSING) m_state = STATE_ABORTING;
}

void UdpChannel::onDatagram(kx::core::Binary& datagram) {
    if (m_state == STATE_CLOSED) return;
    if (m_waiting.isEmpty() && datagram.length() <= m_recvLength) {
        _deliver(datagram);
        return;
    }
    m_waiting.push(datagram);
    m_idleTimer.reset();
}

void UdpChannel::_deliver(kx::core::Binary& datagram) {
    m_recvLength -= datagram.length();
    if (onReceive) onReceive(datagram);
    m_idleTimer.reset();
}

void UdpChannel::_flush() {
    // onReceive may hand credit back (a datagram the tunnel refused): the
    // outer loop then goes on with it.
    if (m_flushing) return;
    m_flushing = true;
    kx::core::Binary datagram;
    while (m_state != STATE_CLOSED && m_waiting.pop(m_recvLength, &datagram)) _deliver(datagram);
    m_flushing = false;
}

void UdpChannel::onDatagramSent(int n) {
    if (m_state == STATE_CLOSED) return;
    if (onSent) onSent(n);
    m_idleTimer.reset();
}

void UdpChannel::tick() {
    if (m_state == STATE_CLOSED) return;
    if (m_idleTimer.interval() > 0 && m_idleTimer.isExpired()) {
        if (onTimeout) onTimeout();
        if (m_state == STATE_CLOSED) return;
        m_state = STATE_CLOSED;
        m_waiting.clear();
        if (onClosed) onClosed();
    } else if (m_state == STATE_CLOSING || m_state == STATE_ABORTING) {
        m_state = STATE_CLOSED;
        m_waiting.clear();
        if (onClosed) onClosed();
    }
}

}  // namespace tunnel
