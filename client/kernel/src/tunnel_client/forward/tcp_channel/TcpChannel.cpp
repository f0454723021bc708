#include "tunnel_client/forward/tcp_channel/TcpChannel.h"

#include <algorithm>

#include "core/src/debug/Assert.h"

namespace kx {
namespace net {

TcpChannel::TcpChannel(Socket* socket, SocketEventSelector* selector)
    : TcpSocketChannel(socket, selector) {}

TcpChannel::~TcpChannel() = default;

void TcpChannel::_queued(int length) {
    m_sendLengths.push(length);
}

void TcpChannel::_sent(int sent, const bool& gone) {
    // A callback may send (new lengths go to the back), abort (the lengths
    // are dropped) or delete the channel.
    while (sent > 0 && !m_sendLengths.isEmpty()) {
        int& front = m_sendLengths.front();
        int part = std::min(sent, front);
        front -= part;
        sent -= part;
        if (front == 0) m_sendLengths.pop();
        if (onSent) onSent(part);
        if (gone) return;
    }
}

void TcpChannel::_sendDropped() {
    m_sendLengths.clear();
}

}  // namespace net
}  // namespace kx
