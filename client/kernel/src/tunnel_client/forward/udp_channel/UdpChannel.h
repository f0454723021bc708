#pragma once

#include <functional>

#include "core/src/time/Timer.h"
#include "core/src/value/Binary.h"
#include "net/src/channel/UdpSocketChannel.h"
#include "net/src/socket/SocketAddress.h"
#include "tunnel_client/protocol/DatagramQueue.h"

namespace tunnel {

// One local UDP peer (address and port) on the server's shared socket. It
// owns no socket: sends go through the main channel, datagrams arrive from the
// server. Closing only marks the channel; the server's sweep reports and
// deletes it.
class UdpChannel {
public:
    enum { STATE_CLOSED = 0, STATE_OPEN = 1, STATE_CLOSING = 2, STATE_ABORTING = 3 };

    std::function<void(kx::core::Binary&)> onReceive;
    std::function<void(int)> onSent;
    std::function<void()> onClosed;
    std::function<void()> onTimeout;

    UdpChannel(kx::net::UdpSocketChannel* socketChannel, const kx::net::SocketAddress& peer);
    virtual ~UdpChannel();
    UdpChannel(const UdpChannel&) = delete;
    UdpChannel& operator=(const UdpChannel&) = delete;

    bool send(const kx::core::Binary& datagram);
    bool send(kx::core::Binary&& datagram);
    bool recv(int length);
    void closeGracefully();
    void abort();
    bool isAlive() const { return m_state != STATE_CLOSED; }
    int state() const { return m_state; }
    int receiveCredit() const { return m_recvLength; }
    // Datagrams waiting for credit, and those given up (queue full or stale).
    int64_t waitingBytes() const { return m_waiting.bytes(); }
    int64_t droppedDatagrams() const { return m_waiting.dropped(); }
    const kx::net::SocketAddress& peerAddress() const { return m_peer; }
    kx::core::Timer& idleTimer() { return m_idleTimer; }

    // From the server: one datagram of this peer. Beyond the remaining credit
    // it waits, in order, for more (bounded; see DatagramQueue).
    virtual void onDatagram(kx::core::Binary& datagram);
    // From the server: n bytes were sent to this peer.
    virtual void onDatagramSent(int n);
    // From the server's sweep: idle timeout and end of close / abort.
    virtual void tick();

private:
    void _deliver(kx::core::Binary& datagram);
    void _flush();

    kx::net::UdpSocketChannel* m_socketChannel;
    kx::net::SocketAddress m_peer;
    kx::core::Timer m_idleTimer;
    int m_state;
    int m_recvLength;
    DatagramQueue m_waiting;
    bool m_flushing = false;
};

}  // namespace tunnel
