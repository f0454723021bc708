#pragma once

#include <functional>
#include <memory>

#include "core/src/value/Binary.h"
#include "core/src/value/Dictionary.h"
#include "net/src/socket/SocketAddress.h"
#include "net/src/socket/SocketEventSelector.h"

namespace kx {
namespace net {
class Socket;
class TcpSocketConnector;
}  // namespace net
}  // namespace kx

namespace tunnel {

class DicRpc;
class ProtocolChannel;

// One connection to a node: connect (3 s), then a protocol channel with a
// 4 s idle limit and an RPC on top. Used for one connection only; a new
// attempt is a new client. Destruction calls no callback.
class ProtocolClient {
public:
    static constexpr int CONNECT_TIMEOUT_MS = 3000;
    static constexpr int IDLE_TIMEOUT_MS = 4000;
    static constexpr int KEEP_CAPACITY = 16384;
    // The send queue of a busy tunnel holds a read burst of frames; keeping
    // that much spares a large allocation and its page faults per flush.
    static constexpr int SEND_KEEP_CAPACITY = 262144;

    std::function<void()> onConnected;
    std::function<void()> onConnectFailed;
    std::function<void()> onClosed;
    std::function<void()> onTimeout;
    std::function<void(kx::core::Dictionary<kx::core::Binary>&)> onMessage;
    std::function<void(kx::core::Binary&)> onData;

    // Starts connecting at once (a null selector is fatal).
    ProtocolClient(kx::net::SocketEventSelector* selector, const kx::net::SocketAddress& address);
    virtual ~ProtocolClient();
    ProtocolClient(const ProtocolClient&) = delete;
    ProtocolClient& operator=(const ProtocolClient&) = delete;

    // Null before the connection stands.
    DicRpc* rpc() { return m_rpc.get(); }
    // False before the connection stands.
    bool sendMessage(const kx::core::Dictionary<kx::core::Binary>& message);
    bool sendData(const kx::core::Binary& data);
    // Resets the connection (linger 0); nothing before it stands.
    void abort();

    const kx::net::SocketAddress& address() const { return m_address; }
    kx::net::SocketEventSelector* selector() const { return m_selector; }

protected:
    // What a channel event does once the connection stands. A derived class
    // extends these and calls its base, so the public callbacks stay the
    // owner's instead of being taken over.
    virtual void _handleClosed();
    virtual void _handleTimeout();
    virtual void _handleData(kx::core::Binary& data);

    // A connect that failed inside the constructor could not be reported to
    // anyone yet. Derived classes deliver it later through onConnectFailed.
    bool _hasEarlyConnectFailure() const { return m_earlyFailure; }
    void _deliverEarlyConnectFailure();

private:
    void _onConnect(kx::net::Socket* socket);

    kx::net::SocketEventSelector* m_selector;
    std::unique_ptr<kx::net::TcpSocketConnector> m_connector;
    std::unique_ptr<ProtocolChannel> m_channel;
    std::unique_ptr<DicRpc> m_rpc;
    kx::net::SocketAddress m_address;
    bool m_constructing;
    bool m_earlyFailure;
};

}  // namespace tunnel
