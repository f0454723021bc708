#pragma once

#include <functional>

#include "net/src/socket/ISocketEventHandler.h"
#include "net/src/socket/Socket.h"
#include "net/src/socket/SocketAddress.h"
#include "net/src/socket/SocketEventSelector.h"

namespace kx {
namespace net {

// Non-blocking listener on a selector. onAccept gets each new connection; the
// callee takes the descriptor by moving it out of the Socket (typically into a
// channel); whatever is left in it afterwards is closed.
class TcpSocketAccepter : private ISocketEventHandler {
public:
    static constexpr int BACKLOG = 64;

    std::function<void(Socket*)> onAccept;

    TcpSocketAccepter(SocketEventSelector* selector, const SocketAddress& local,
                      int backlog = BACKLOG);
    virtual ~TcpSocketAccepter();
    TcpSocketAccepter(const TcpSocketAccepter&) = delete;
    TcpSocketAccepter& operator=(const TcpSocketAccepter&) = delete;

    bool isValid() const { return m_socket.isValid(); }
    SocketAddress localAddress() const { return m_socket.localAddress(); }
    SocketEventSelector* selector() const { return m_selector; }

protected:
    int eventMask() override;
    void onSocketEvent(int events) override;
    // One accepted connection; the default hands it to onAccept.
    virtual void _accepted(Socket* socket);

private:
    SocketEventSelector* m_selector;
    Socket m_socket;
    bool m_registered;
    bool* m_gone;
};

}  // namespace net
}  // namespace kx
