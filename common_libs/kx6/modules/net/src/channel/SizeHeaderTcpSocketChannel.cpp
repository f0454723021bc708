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
    // A read may carry the tail of a frame that nearly fills the buffer and
    // the head of the next one: take in what fits, hand out whole frames,
    // then take in the rest. Only a buffer that is full without holding a
    // whole frame is a peer's fault.
    const uint8_t* next = data.data();
    int32_t left = data.length();
    while (left > 0 && state() == STATE_OPEN) {
        int32_t room = m_stream.limit() - m_stream.length();
        int32_t piece = left < room ? left : room;
        if (piece <= 0 || !m_stream.append(next, piece)) {
            abort();
            return;
        }
        next += piece;
        left -= piece;
        if (!_decodeFrames(gone) || gone) return;
    }
    m_frame.clear();
    if (m_frame.capacity() > m_keepCapacity) m_frame.release();
}

bool SizeHeaderTcpSocketChannel::_decodeFrames(const bool& gone) {
    SizeHeaderCapsulator codec(&m_stream);
    while (state() == STATE_OPEN) {
        SizeHeaderCapsulator::DecodeResult result = codec.decode(&m_frame);
        if (result == SizeHeaderCapsulator::DECODE_NEED_MORE) break;
        if (result == SizeHeaderCapsulator::DECODE_INVALID) {
            // The stream cannot resynchronise; waiting would only hold the
            // connection open until the buffer fills or the idle timer runs out.
            abort();
            return false;
        }
        if (m_frame.isEmpty()) continue;
        if (onFrame) onFrame(m_frame);
        if (gone) return false;
    }
    return state() == STATE_OPEN;
}

}  // namespace net
}  // namespace kx
