#include "tunnel_client/forward/tcp_channel/TcpChannel.h"

#include <algorithm>

#include "core/src/debug/Assert.h"

namespace kx {
namespace net {

TcpChannel::TcpChannel(Socket* socket, SocketEventSelector* selector)
    : TcpSocketChannel(socket, selector) {}

TcpChannel::~TcpChannel() = default;

int TcpChannel::_writeLimit(int available) {
    KX_ASSERT(!m_sendLengths.isEmpty());
    KX_ASSERT(m_sendLengths.front() > 0);
    return std::min(available, m_sendLengths.front());
}

void TcpChannel::_queued(int length) {
    m_sendLengths.push(length);
}

void TcpChannel::_written(int sent) {
    KX_ASSERT(sent <= m_sendLengths.front());
    m_sendLengths.front() -= sent;
    if (m_sendLengths.front() == 0) m_sendLengths.pop();
}

void TcpChannel::_sendDropped() {
    m_sendLengths.clear();
}

}  // namespace net
}  // namespace kx
