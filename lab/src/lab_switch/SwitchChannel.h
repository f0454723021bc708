#pragma once

#include "core/src/value/Binary.h"
#include "net/src/channel/SizeHeaderTcpSocketChannel.h"

namespace lab {

// The framed connection of one switch client.
// - A frame limit that the session can lower and raise: before login only
//   small calls are expected, so a peer cannot park megabytes in a
//   half-sent frame. A frame over the limit resets the connection.
// - Reads of up to 64 KiB per system call (a data packet is up to 16 KiB).
// - flush(): writes what is queued now, so frames queued during one loop
//   round leave together without waiting for another poll.
class SwitchChannel : public kx::net::SizeHeaderTcpSocketChannel {
public:
    static constexpr int READ_SIZE = 65536;
    static constexpr int KEEP_READ_BUFFER = 16384;

    SwitchChannel(kx::net::Socket* socket, kx::net::SocketEventSelector* selector, int limit,
                  int keepCapacity);

    void setFrameLimit(int limit) { m_frameLimit = limit; }
    int frameLimit() const { return m_frameLimit; }
    void flush();

protected:
    void _deliver(kx::core::Binary& data, const bool& gone) override;

private:
    bool _readStep(const bool& gone) override;

    int m_frameLimit;
    kx::core::Binary m_in;
};

}  // namespace lab
