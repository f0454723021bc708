#include "net/src/channel/SizeHeaderTcpSocketChannel.h"

namespace kx {
namespace net {

SizeHeaderTcpSocketChannel::SizeHeaderTcpSocketChannel(Socket* socket,
                                                       SocketEventSelector* selector, int limit,
                                                       int keepCapacity)
    : TcpSocketChannel(socket, selector),
      m_stream(limit, keepCapacity),
      m_keepCapacity(keepCapacity) {
    recv(RECEIVE_CREDIT);
}

bool SizeHeaderTcpSocketChannel::send(const core::Binary& payload) {
    if (!isOpen() || state() != STATE_OPEN) return false;
    m_out.clear();
    if (!SizeHeaderCapsulator::appendFrame(&m_out, payload.data(), payload.length())) return false;
    bool ok = TcpSocketChannel::send(std::move(m_out));
    m_out.clear();
    return ok;
}

void SizeHeaderTcpSocketChannel::_deliver(core::Binary& data, const bool& gone) {
    recv(data.length());
    if (!m_stream.append(data)) {
        abort();
        return;
    }
    SizeHeaderCapsulator codec(&m_stream);
    while (state() == STATE_OPEN) {
        SizeHeaderCapsulator::DecodeResult result = codec.decode(&m_frame);
        if (result == SizeHeaderCapsulator::DECODE_NEED_MORE) break;
        if (result == SizeHeaderCapsulator::DECODE_INVALID) {
            // The stream cannot resynchronise; waiting would only hold the
            // connection open until the buffer fills or the idle timer runs out.
            abort();
            break;
        }
        if (m_frame.isEmpty()) continue;
        if (onFrame) onFrame(m_frame);
        if (gone) return;
    }
    m_frame.clear();
    if (m_frame.capacity() > m_keepCapacity) m_frame.release();
}

}  // namespace net
}  // namespace kx
