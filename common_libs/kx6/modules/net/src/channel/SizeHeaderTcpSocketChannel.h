#pragma once

#include <functional>

#include "core/src/value/Binary.h"
#include "net/src/channel/SizeHeaderCapsulator.h"
#include "net/src/channel/StreamBuffer.h"
#include "net/src/channel/TcpSocketChannel.h"

namespace kx {
namespace net {

// TcpSocketChannel carrying size-header frames. It keeps 1 MiB of receive
// credit for itself and buffers at most `limit` unconsumed bytes. A peer that
// sends a frame that can never fit, or a header below 4, gets its connection
// reset (onClosed follows at the next round); nothing it sends reaches an
// assertion.
class SizeHeaderTcpSocketChannel : public TcpSocketChannel {
public:
    static constexpr int RECEIVE_CREDIT = 1048576;

    std::function<void(core::Binary&)> onFrame;  // one complete non-empty payload

    SizeHeaderTcpSocketChannel(Socket* socket, SocketEventSelector* selector, int limit,
                               int keepCapacity);

    // Queues header and payload as one frame.
    bool send(const core::Binary& payload);

    int bufferedBytes() const { return m_stream.length(); }

protected:
    void _deliver(core::Binary& data, const bool& gone) override;
    // One complete non-empty payload, valid during the call only. The default
    // copies it into a reused buffer for onFrame; a subclass that can work on
    // the bytes in place overrides it and saves that copy.
    virtual void _frame(const uint8_t* payload, int32_t length);
    // Hands out every whole frame buffered; false when the channel ended or
    // went away meanwhile.
    bool _decodeFrames(const bool& gone);
    // Hands out the whole frames at the start of a read while nothing is
    // buffered; the bytes it used, or -1 when the channel ended or went away.
    int32_t _decodeInPlace(const uint8_t* data, int32_t length, const bool& gone);

private:
    core::StreamBuffer m_stream;
    core::Binary m_frame;
    core::Binary m_out;
    int m_keepCapacity;
};

}  // namespace net
}  // namespace kx
