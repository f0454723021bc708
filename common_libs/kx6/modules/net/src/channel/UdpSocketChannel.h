#pragma once

#include <deque>
#include <functional>
#include <utility>

#include "core/src/value/Binary.h"
#include "net/src/channel/SelectorChannel.h"
#include "net/src/socket/Socket.h"
#include "net/src/socket/SocketAddress.h"
#include "net/src/socket/SocketEventSelector.h"

namespace kx {
namespace net {

// Datagram socket on a selector: a FIFO of (address, datagram) to send and a
// receive credit in bytes. The send queue is unbounded; owners bound it with
// pendingDatagrams().
class UdpSocketChannel : public SelectorChannel {
public:
    static constexpr int MAX_DATAGRAM = 65536;

    std::function<void(core::Binary&, const SocketAddress&)> onReceive;
    std::function<void(int, const SocketAddress&)> onSent;

    UdpSocketChannel(Socket* socket, SocketEventSelector* selector);
    ~UdpSocketChannel() override;

    bool sendTo(const core::Binary& data, const SocketAddress& to);
    bool sendTo(core::Binary&& data, const SocketAddress& to);
    void abort();

    bool isOpen() const { return m_socket.isValid() && m_selector != nullptr; }
    int pendingDatagrams() const { return static_cast<int>(m_sendQueue.size()); }

protected:
    int eventMask() override;

private:
    bool _readStep(const bool& gone) override;
    bool _writeStep(const bool& gone) override;
    bool _hasPendingSend() const override { return !m_sendQueue.empty(); }
    void _close() override;

    std::deque<std::pair<SocketAddress, core::Binary>> m_sendQueue;
    core::Binary m_recvBuffer;
    core::Binary m_scratch;
};

}  // namespace net
}  // namespace kx
