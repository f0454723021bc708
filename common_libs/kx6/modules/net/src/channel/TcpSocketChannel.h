#pragma once

#include <cstdint>
#include <functional>

#include "core/src/time/Timer.h"
#include "core/src/value/Binary.h"
#include "net/src/socket/ISocketEventHandler.h"
#include "net/src/socket/Socket.h"
#include "net/src/socket/SocketAddress.h"
#include "net/src/socket/SocketEventSelector.h"

namespace kx {
namespace net {

// Non-blocking byte stream on a selector: a send queue, receive credit (nothing
// is read until the owner grants it) and an idle timer. All I/O happens inside
// the selector's callbacks.
//
// The send queue has no limit of its own. An owner that must bound memory
// against a peer that never reads watches pendingSendBytes() (or counts onSent)
// and stops producing, or aborts, past its own threshold.
//
// Callbacks may call back into the channel (send, closeGracefully, abort,
// closeNow) and may even delete it once it is unregistered (exportSocket or
// closed); the channel touches nothing after such a callback.
class TcpSocketChannel : private ISocketEventHandler {
public:
    enum { STATE_INVALID = 0, STATE_OPEN = 1, STATE_CLOSING = 2, STATE_ABORTING = 3 };
    static constexpr int IDLE_TIMEOUT_MS = 120000;
    static constexpr int READ_CHUNK = 8192;
    static constexpr int KEEP_CAPACITY = 16384;
    static constexpr int READ_BURST = 256;  // reads per event at most

    std::function<void(core::Binary&)> onReceive;  // the buffer is cleared after the call
    std::function<void(int)> onSent;               // bytes written to the socket
    std::function<void()> onClosed;                // the channel closed itself
    std::function<void()> onTimeout;               // idle timeout, just before onClosed

    // Takes over a valid socket's descriptor (the caller's Socket becomes
    // invalid). Otherwise the channel stays STATE_INVALID.
    TcpSocketChannel(Socket* socket, SocketEventSelector* selector);
    virtual ~TcpSocketChannel();
    TcpSocketChannel(const TcpSocketChannel&) = delete;
    TcpSocketChannel& operator=(const TcpSocketChannel&) = delete;

    bool send(const core::Binary& data);
    bool send(core::Binary&& data);  // no copy when nothing else is queued
    bool recv(int length);           // grants receive credit
    void closeGracefully();          // flush, FIN, onClosed
    void abort();                    // reset at the next round, then onClosed
    void closeNow();                 // close at once and report onClosed
    bool exportSocket(Socket* out);  // out must be non-null and invalid

    bool isOpen() const { return m_socket.isValid(); }
    int state() const { return m_state; }
    int receiveCredit() const { return m_recvLength; }
    // Bytes accepted by send() and not yet written to the socket.
    int64_t pendingSendBytes() const {
        return int64_t(m_sendBuffer.length()) - m_sendPos + m_sendQueue.length();
    }
    const SocketAddress& localAddress() const { return m_localAddress; }
    const SocketAddress& peerAddress() const { return m_peerAddress; }
    int handle() const { return m_socket.handle(); }

    // Idle timer (120 s at construction; interval 0 disables it).
    core::Timer& idleTimer() { return m_idleTimer; }
    void setIdleTimeout(int ms) { m_idleTimer.start(ms); }
    // Capacity a buffer may keep once emptied; above it the memory is released.
    void setKeepCapacity(int receive, int send);
    // Runs the periodic checks (idle timeout, end of closing or aborting) now.
    void tick() { onSocketEvent(0); }

protected:
    // Handler operations; derived channels may extend them.
    int eventMask() override;
    void onSocketEvent(int events) override;

    // Runs the idle / closing / aborting checks; the periodic tick calls it.
    void _stateCheck(const bool& gone);
    // Delivers received bytes; the default passes them to onReceive. `gone`
    // turns true when a callback destroyed the channel: touch nothing then.
    virtual void _deliver(core::Binary& data, const bool& gone);
    // Write-boundary hooks for message-oriented subclasses.
    virtual int _writeLimit(int available) { return available; }
    virtual void _queued(int length) { (void)length; }
    virtual void _written(int length) { (void)length; }
    virtual void _sendDropped() {}

    // Close without callbacks (asserts a non-invalid state for a valid socket).
    void _close();
    void _closeAndReport(const bool& gone);
    SocketEventSelector* _selector() const { return m_selector; }
    Socket& _socket() { return m_socket; }

private:
    bool _readStep(const bool& gone);
    bool _writeStep(const bool& gone);
    static void _trim(core::Binary& buffer, int keep);

    Socket m_socket;
    SocketEventSelector* m_selector;
    int m_state;
    core::Timer m_idleTimer;
    bool m_inEvent;
    bool* m_gone;  // the running event's "destroyed" flag, set by the destructor
    bool m_registered;
    SocketAddress m_localAddress;
    SocketAddress m_peerAddress;
    core::Binary m_sendBuffer;
    core::Binary m_sendQueue;
    int m_sendPos;
    int m_recvLength;
    core::Binary m_recvBuffer;
    int m_recvKeep;
    int m_sendKeep;
};

}  // namespace net
}  // namespace kx
