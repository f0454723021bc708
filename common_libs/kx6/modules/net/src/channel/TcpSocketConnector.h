#pragma once

#include <functional>

#include "core/src/time/Timer.h"
#include "net/src/socket/ISocketEventHandler.h"
#include "net/src/socket/Socket.h"
#include "net/src/socket/SocketAddress.h"
#include "net/src/socket/SocketEventSelector.h"

namespace kx {
namespace net {

// One non-blocking connect at a time, with a timeout checked on the selector's
// tick. The callback gets the connected socket (take the descriptor out of it)
// or null on failure, refusal, timeout or cancel. It runs after the connector
// has let go of the attempt, so it may start the next connect or delete the
// connector.
class TcpSocketConnector : private ISocketEventHandler {
public:
    typedef std::function<void(Socket*)> Callback;

    explicit TcpSocketConnector(SocketEventSelector* selector);
    virtual ~TcpSocketConnector();  // drops a pending attempt without calling back
    TcpSocketConnector(const TcpSocketConnector&) = delete;
    TcpSocketConnector& operator=(const TcpSocketConnector&) = delete;

    // With a pending attempt the new callback gets null at once. Failures to
    // even start the attempt also call back at once, with null.
    void connect(const SocketAddress& remote, const SocketAddress& local, Callback callback,
                 int timeoutMs);
    void connect(const SocketAddress& remote, Callback callback, int timeoutMs) {
        connect(remote, SocketAddress::any(), std::move(callback), timeoutMs);
    }

    bool isConnecting() const { return m_socket.isValid() && static_cast<bool>(m_callback); }
    void cancel();

protected:
    int eventMask() override;
    void onSocketEvent(int events) override;

private:
    void _drop();

    Socket m_socket;
    core::Timer m_timer;
    SocketEventSelector* m_selector;
    bool m_cancelled;
    bool m_registered;
    Callback m_callback;
};

}  // namespace net
}  // namespace kx
