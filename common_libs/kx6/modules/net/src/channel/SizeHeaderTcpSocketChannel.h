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
    // Hands out every whole frame buffered; false when the channel ended or
    // went away meanwhile.
    bool _decodeFrames(const bool& gone);

private:
    core::StreamBuffer m_stream;
    core::Binary m_frame;
    core::Binary m_out;
    int m_keepCapacity;
};

}  // namespace net
}  // namespace kx
