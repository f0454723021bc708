#pragma once

#include <cstdint>
#include <functional>

#include "core/src/value/Binary.h"
#include "lab_network/LabStreamChannel.h"

namespace lab {

// The framed connection of one switch client (size-header frames).
// - Frames are cut straight out of the read buffer: onFrame gets a view of
//   the payload, valid only during the call. Only an unfinished frame at the
//   end of a read is copied aside.
// - A frame limit that the session can lower and raise: before login only
//   small calls are expected, so a peer cannot park megabytes in a
//   half-sent frame. A frame announced over the limit, or a header below 4,
//   resets the connection.
// - onReadEnd after each read's frames, so the owner can send what they
//   produced with one gathered write.
class SwitchChannel : public LabStreamChannel {
public:
    static constexpr int32_t HEADER_SIZE = 4;
    // Receive credit kept topped up; the frame limit bounds what is held.
    static constexpr int RECEIVE_CREDIT = 1048576;

    std::function<void(const uint8_t*, int32_t)> onFrame;  // a non-empty payload
    std::function<void()> onReadEnd;

    SwitchChannel(kx::net::Socket* socket, kx::net::SocketEventSelector* selector, int limit,
                  int keepCapacity);

    void setFrameLimit(int limit) { m_frameLimit = limit; }
    int frameLimit() const { return m_frameLimit; }
    // Queues header and payload as one frame.
    bool sendPayload(const kx::core::Binary& payload);
    // The unfinished frame held between reads.
    int bufferedBytes() const { return m_partial.length(); }

protected:
    void _received(const uint8_t* data, int32_t length, const bool& gone) override;

private:
    // False (and the connection reset) for a frame that can never be taken.
    bool _acceptable(int32_t frameLength);
    void _frame(const uint8_t* frame, int32_t frameLength, const bool& gone);

    int m_frameLimit;
    int m_keepCapacity;
    kx::core::Binary m_partial;
};

}  // namespace lab
