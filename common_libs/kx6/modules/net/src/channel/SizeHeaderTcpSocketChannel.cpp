#include "net/src/channel/SizeHeaderTcpSocketChannel.h"

#include <algorithm>

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
        if (m_stream.isEmpty()) {
            // Whole frames go out straight from the read; only a partial
            // frame at the end is copied into the stream buffer.
            int32_t used = _decodeInPlace(next, left, gone);
            if (used < 0 || gone) return;
            next += used;
            left -= used;
            if (left == 0 || state() != STATE_OPEN) break;
        }
        // Only what completes the buffered frame is copied, so that the
        // frames behind it are cut from the read again.
        int32_t want = left;
        const int32_t header = SizeHeaderCapsulator::HEADER_SIZE;
        if (m_stream.length() < header) {
            want = std::min(left, header - m_stream.length());
        } else {
            int32_t size = SizeHeaderCapsulator::readHeader(m_stream.data());
            if (size >= header && size <= m_stream.limit())
                want = std::min(left, size - m_stream.length());
        }
        int32_t room = m_stream.limit() - m_stream.length();
        int32_t piece = want < room ? want : room;
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
        _frame(m_frame.data(), m_frame.length());
        if (gone) return false;
    }
    return state() == STATE_OPEN;
}

int32_t SizeHeaderTcpSocketChannel::_decodeInPlace(const uint8_t* data, int32_t length,
                                                   const bool& gone) {
    const int32_t header = SizeHeaderCapsulator::HEADER_SIZE;
    int32_t used = 0;
    while (state() == STATE_OPEN && length - used >= header) {
        int32_t size = SizeHeaderCapsulator::readHeader(data + used);
        if (size < header || size > m_stream.limit()) {
            abort();  // cannot resynchronise
            return -1;
        }
        if (length - used < size) break;
        if (size > header) {
            _frame(data + used + header, size - header);
            if (gone) return -1;
        }
        used += size;
    }
    return state() == STATE_OPEN ? used : -1;
}

void SizeHeaderTcpSocketChannel::_frame(const uint8_t* payload, int32_t length) {
    if (payload != m_frame.data()) {
        m_frame.clear();
        m_frame.append(payload, length);
    }
    if (onFrame) onFrame(m_frame);
}

}  // namespace net
}  // namespace kx
