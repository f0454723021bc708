#pragma once

#include <deque>
#include <functional>
#include <utility>

#include "core/src/time/Timer.h"
#include "core/src/value/Binary.h"
#include "net/src/socket/ISocketEventHandler.h"
#include "net/src/socket/Socket.h"
#include "net/src/socket/SocketAddress.h"
#include "net/src/socket/SocketEventSelector.h"

namespace kx {
namespace net {

// Datagram socket on a selector: a FIFO of (address, datagram) to send and a
// receive credit in bytes. The send queue is unbounded; owners bound it with
// pendingDatagrams().
class UdpSocketChannel : private ISocketEventHandler {
public:
    enum { STATE_INVALID = 0, STATE_OPEN = 1, STATE_CLOSING = 2, STATE_ABORTING = 3 };
    static constexpr int MAX_DATAGRAM = 65536;
    static constexpr int READ_BURST = 256;  // datagrams per event at most

    std::function<void(core::Binary&, const SocketAddress&)> onReceive;
    std::function<void(int, const SocketAddress&)> onSent;
    std::function<void()> onClosed;
    std::function<void()> onTimeout;

    UdpSocketChannel(Socket* socket, SocketEventSelector* selector);
    virtual ~UdpSocketChannel();
    UdpSocketChannel(const UdpSocketChannel&) = delete;
    UdpSocketChannel& operator=(const UdpSocketChannel&) = delete;

    bool sendTo(const core::Binary& data, const SocketAddress& to);
    bool sendTo(core::Binary&& data, const SocketAddress& to);
    bool recv(int length);
    void closeGracefully();
    void abort();
    void closeNow();
    bool exportSocket(Socket* out);

    bool isOpen() const { return m_socket.isValid() && m_selector != nullptr; }
    int state() const { return m_state; }
    int receiveCredit() const { return m_recvLength; }
    int pendingDatagrams() const { return static_cast<int>(m_sendQueue.size()); }
    const SocketAddress& localAddress() const { return m_localAddress; }
    core::Timer& idleTimer() { return m_idleTimer; }

protected:
    int eventMask() override;
    void onSocketEvent(int events) override;

private:
    bool _readStep(const bool& gone);
    bool _writeStep(const bool& gone);
    void _stateCheck(const bool& gone);
    void _close();
    void _closeAndReport();

    Socket m_socket;
    SocketEventSelector* m_selector;
    int m_state;
    core::Timer m_idleTimer;
    bool m_inEvent;
    bool* m_gone;
    bool m_registered;
    SocketAddress m_localAddress;
    std::deque<std::pair<SocketAddress, core::Binary>> m_sendQueue;
    int m_recvLength;
    core::Binary m_recvBuffer;
    core::Binary m_scratch;
};

}  // namespace net
}  // namespace kx
