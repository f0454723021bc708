#pragma once

#include "net/src/channel/SizeHeaderTcpSocketChannel.h"

namespace lab {

// The framed connection of one switch client. On top of the stream limit it
// enforces a frame limit that the session can lower and raise: before login
// only small calls are expected, so a peer cannot park megabytes in a
// half-sent frame. A frame over the limit resets the connection.
class SwitchChannel : public kx::net::SizeHeaderTcpSocketChannel {
public:
    SwitchChannel(kx::net::Socket* socket, kx::net::SocketEventSelector* selector, int limit,
                  int keepCapacity)
        : SizeHeaderTcpSocketChannel(socket, selector, limit, keepCapacity),
          m_frameLimit(limit) {}

    void setFrameLimit(int limit) { m_frameLimit = limit; }
    int frameLimit() const { return m_frameLimit; }

protected:
    void _deliver(kx::core::Binary& data, const bool& gone) override {
        SizeHeaderTcpSocketChannel::_deliver(data, gone);
        if (gone) return;
        // What is still buffered is one unfinished frame.
        if (bufferedBytes() > m_frameLimit) abort();
    }

private:
    int m_frameLimit;
};

}  // namespace lab
