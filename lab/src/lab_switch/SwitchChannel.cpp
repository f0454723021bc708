#include "lab_switch/SwitchChannel.h"

#include <algorithm>

#include "net/src/channel/SizeHeaderCapsulator.h"

namespace lab {

using kx::core::Binary;
using kx::net::SizeHeaderCapsulator;
using kx::net::Socket;

SwitchChannel::SwitchChannel(Socket* socket, kx::net::SocketEventSelector* selector, int limit,
                             int keepCapacity)
    : LabStreamChannel(socket, selector), m_frameLimit(limit), m_keepCapacity(keepCapacity) {
    recv(RECEIVE_CREDIT);
}

bool SwitchChannel::sendPayload(const Binary& payload) {
    if (!isOpen() || state() != STATE_OPEN) return false;
    if (payload.length() > INT32_MAX - HEADER_SIZE) return false;
    uint8_t header[HEADER_SIZE];
    SizeHeaderCapsulator::writeHeader(header, HEADER_SIZE + payload.length());
    return send(header, HEADER_SIZE, payload);
}

bool SwitchChannel::_acceptable(int32_t frameLength) {
    if (frameLength >= HEADER_SIZE && frameLength <= m_frameLimit) return true;
    abort();
    return false;
}

void SwitchChannel::_frame(const uint8_t* frame, int32_t frameLength, const bool& gone) {
    (void)gone;
    if (frameLength > HEADER_SIZE && onFrame) onFrame(frame + HEADER_SIZE, frameLength - HEADER_SIZE);
}

void SwitchChannel::_received(const uint8_t* data, int32_t length, const bool& gone) {
    recv(length);
    while (length > 0 && state() == STATE_OPEN) {
        if (!m_partial.isEmpty()) {
            // Finish the frame the last read left unfinished.
            if (m_partial.length() < HEADER_SIZE) {
                int32_t take = std::min(HEADER_SIZE - m_partial.length(), length);
                m_partial.append(data, take);
                data += take;
                length -= take;
                if (m_partial.length() < HEADER_SIZE) break;
            }
            int32_t frameLength = SizeHeaderCapsulator::readHeader(m_partial.data());
            if (!_acceptable(frameLength)) return;
            int32_t take = std::min(frameLength - m_partial.length(), length);
            m_partial.append(data, take);
            data += take;
            length -= take;
            if (m_partial.length() < frameLength) break;
            _frame(m_partial.data(), frameLength, gone);
            if (gone) return;
            // Views into this buffer go out before it takes the next frame.
            flushAllViews();
            m_partial.clear();
            if (m_partial.capacity() > m_keepCapacity) m_partial.release();
            continue;
        }
        if (length < HEADER_SIZE) {
            m_partial.append(data, length);
            break;
        }
        int32_t frameLength = SizeHeaderCapsulator::readHeader(data);
        if (!_acceptable(frameLength)) return;
        if (frameLength > length) {
            m_partial.append(data, length);
            break;
        }
        _frame(data, frameLength, gone);
        if (gone) return;
        data += frameLength;
        length -= frameLength;
    }
    if (onReadEnd) onReadEnd();
}

}  // namespace lab
