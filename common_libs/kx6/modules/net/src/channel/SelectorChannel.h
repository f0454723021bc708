#pragma once

#include <functional>

#include "core/src/time/Timer.h"
#include "net/src/socket/ISocketEventHandler.h"
#include "net/src/socket/Socket.h"
#include "net/src/socket/SocketAddress.h"
#include "net/src/socket/SocketEventSelector.h"

namespace kx {
namespace net {

// What the stream and datagram channels share: the state machine, receive
// credit, the idle timer and the event round. A round reads (bounded), writes
// until the socket would block, then runs the idle / closing / aborting checks.
// A callback may destroy the channel; the round then touches nothing more.
class SelectorChannel : private ISocketEventHandler {
public:
    enum { STATE_INVALID = 0, STATE_OPEN = 1, STATE_CLOSING = 2, STATE_ABORTING = 3 };
    static constexpr int READ_BURST = 256;  // reads (datagrams) per event at most

    std::function<void()> onClosed;   // the channel closed itself
    std::function<void()> onTimeout;  // idle timeout, just before onClosed

    virtual ~SelectorChannel();
    SelectorChannel(const SelectorChannel&) = delete;
    SelectorChannel& operator=(const SelectorChannel&) = delete;

    bool recv(int length);           // grants receive credit
    void closeGracefully();          // flush, then close and onClosed
    void closeNow();                 // close at once and report onClosed
    bool exportSocket(Socket* out);  // out must be non-null and invalid

    int state() const { return m_state; }
    int receiveCredit() const { return m_recvLength; }
    // The peer ended its sending side and the channel stays open for writing.
    bool isInputEnded() const { return m_inputEnded; }
    const SocketAddress& localAddress() const { return m_localAddress; }
    core::Timer& idleTimer() { return m_idleTimer; }

protected:
    SelectorChannel(SocketEventSelector* selector, int idleTimeoutMs);

    // Takes over a valid socket's descriptor (the caller's Socket becomes
    // invalid), non-blocking and open; false leaves the channel invalid.
    bool _adopt(Socket* socket);
    // Registers with the selector; remembered so that export unregisters.
    bool _registerHandler();

    // Handler operations; derived channels may extend them.
    int eventMask() override;
    void onSocketEvent(int events) override;

    // One read or write; false ends the loop. `gone` turns true when a
    // callback destroyed the channel: touch nothing then.
    virtual bool _readStep(const bool& gone) = 0;
    virtual bool _writeStep(const bool& gone) = 0;
    virtual bool _hasPendingSend() const = 0;
    // Reads per event at most (a stream reads larger chunks than a datagram).
    virtual int _readBurst() const { return READ_BURST; }
    // Close without callbacks; drops the derived channel's buffers.
    virtual void _close() = 0;

    // Asks the selector for a write event soon (see requestFlush).
    void _requestFlush();

    // Runs the idle / closing / aborting checks; the periodic tick calls it.
    void _stateCheck(const bool& gone);
    void _closeAndReport();

    Socket m_socket;
    SocketEventSelector* m_selector;
    int m_state;
    core::Timer m_idleTimer;
    int m_recvLength;
    bool m_inputEnded = false;  // no more reading: the peer half-closed
    SocketAddress m_localAddress;

private:
    bool m_inEvent;
    bool* m_gone;  // the running event's "destroyed" flag, set by the destructor
    bool m_registered;
};

}  // namespace net
}  // namespace kx
