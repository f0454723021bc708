#pragma once

#include <deque>
#include <functional>

#include "async/src/StreamSocket.h"
#include "core/src/time/Timer.h"
#include "core/src/value/Binary.h"
#include "net/src/socket/Socket.h"
#include "net/src/socket/SocketAddress.h"

namespace kx {
namespace async {

class SocketReactor;

// Non-blocking TCP socket driven by a SocketReactor. Operations started in
// the wrong state complete with failure through the reactor, never
// synchronously and never by throwing. After a shutdown or disconnect has
// finished the socket is invalid; a new connection needs a new TcpSocket.
class TcpSocket : public StreamSocket {
public:
    enum class CloseMode { None = 0, Shutdown = 1, Disconnect = 2 };
    typedef std::function<void(TcpSocket&)> AcceptCallback;

    static constexpr int CONNECT_TIMEOUT_MS = 10000;
    static constexpr int READ_STEP = 65536;

    explicit TcpSocket(SocketReactor* reactor);
    // Adopts a connected or listening socket (made non-blocking).
    TcpSocket(SocketReactor* reactor, net::Socket&& socket);
    TcpSocket(TcpSocket&& socket);
    TcpSocket& operator=(TcpSocket&& socket);
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;
    ~TcpSocket() override;

    // A negative timeout means 10000 ms.
    void connect(const net::SocketAddress& address, std::function<void(bool)> callback,
                 int32_t timeoutMs);
    // Listening side; hands the accepted connection (invalid on failure) to
    // the callback, which may move it away.
    bool bind(const net::SocketAddress& address);
    bool listen();
    void accept(AcceptCallback callback, int32_t timeoutMs);

    void recv(int32_t maxBytes, RecvCallback callback, int32_t timeoutMs) override;
    void send(const core::Binary& data, SendCallback callback, int32_t timeoutMs) override;
    // Orderly end (FIN) once a pending send has finished; reads are cancelled.
    void shutdown(CloseCallback callback);
    // Cancels everything and resets the connection.
    void disconnect(CloseCallback callback);
    void close(CloseCallback callback) override { shutdown(std::move(callback)); }
    void abort(CloseCallback callback) override { disconnect(std::move(callback)); }

    SocketReactor* reactor() const override { return m_reactor; }
    // Requires idle() and no close under way.
    void setReactor(SocketReactor* reactor);
    bool idle() const override;
    bool isValid() const override { return m_socket.isValid(); }
    CloseMode closing() const { return m_closing; }
    net::SocketAddress localAddress() const { return m_socket.localAddress(); }
    net::SocketAddress peerAddress() const { return m_socket.peerAddress(); }
    int handle() const { return m_socket.handle(); }

private:
    void _defer(std::function<void()> fn);
    void _runDeferred();
    void _onConnectReady(bool ok);
    void _onAcceptReady(bool ok);
    void _waitRecv();
    void _onRecvReady(bool ok);
    void _completeRecv(core::Binary& data);
    void _doSendNow();
    void _completeSend(bool ok);
    void _startClose(CloseMode mode, CloseCallback callback);
    void _tryCompleteClose();
    void _closeStep();
    void _releaseDescriptor();
    bool _matchFamily(const net::SocketAddress& address);
    // Runs a user callback; false when it destroyed this socket.
    template <typename F>
    bool _invoke(F&& fn);

    SocketReactor* m_reactor;
    net::Socket m_socket;
    CloseMode m_closing = CloseMode::None;
    std::deque<std::function<void()>> m_deferred;
    std::function<void(bool)> m_onConnect;
    AcceptCallback m_onAccept;
    RecvCallback m_onRecv;
    SendCallback m_onSend;
    int32_t m_recvWanted = 0;
    core::Timer m_recvTimer;
    bool m_recvTimed = false;
    core::Binary m_sending;
    int32_t m_sendOffset = 0;
    core::Timer m_sendTimer;
    bool m_sendTimed = false;
    bool m_closePosted = false;
    CloseCallback m_onClose;
    bool* m_destroyed = nullptr;
};

}  // namespace async
}  // namespace kx
