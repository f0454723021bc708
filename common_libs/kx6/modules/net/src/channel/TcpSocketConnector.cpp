#include "net/src/channel/TcpSocketConnector.h"

namespace kx {
namespace net {

TcpSocketConnector::TcpSocketConnector(SocketEventSelector* selector)
    : m_selector(selector), m_cancelled(false), m_registered(false) {}

TcpSocketConnector::~TcpSocketConnector() {
    _drop();
}

void TcpSocketConnector::connect(const SocketAddress& remote, const SocketAddress& local,
                                 Callback callback, int timeoutMs) {
    if (isConnecting()) {
        if (callback) callback(nullptr);
        return;
    }
    _drop();
    Socket s(Socket::TYPE_TCP, remote.ip.family());
    // An unset local address means "any" in the remote's family.
    SocketAddress from = local;
    if (from.ip.isAny() && from.ip.family() != remote.ip.family())
        from.ip = IpAddress::any(remote.ip.family());
    if (!m_selector || !s.setBlocking(false) || !s.bind(from) || !s.connect(remote)) {
        if (callback) callback(nullptr);
        return;
    }
    if (!m_selector->addEventHandler(s.handle(), this)) {
        s.setLinger(true, 0);
        if (callback) callback(nullptr);
        return;
    }
    m_registered = true;
    m_socket.swap(s);
    m_timer.start(timeoutMs);
    m_cancelled = false;
    // An empty callback still marks the attempt as pending.
    m_callback = callback ? std::move(callback) : Callback([](Socket*) {});
}

void TcpSocketConnector::cancel() {
    if (!isConnecting()) return;
    m_socket.shutdown(Socket::SHUT_RECEIVE);
    m_socket.setLinger(true, 0);
    m_cancelled = true;
}

int TcpSocketConnector::eventMask() {
    if (!isConnecting()) return 0;
    return m_cancelled ? (EVENT_READ | EVENT_WRITE) : EVENT_WRITE;
}

void TcpSocketConnector::_drop() {
    if (m_registered && m_selector) m_selector->removeEventHandler(m_socket.handle());
    m_registered = false;
    if (m_socket.isValid()) {
        m_socket.setLinger(true, 0);
        m_socket.close();
    }
    m_callback = nullptr;
    m_cancelled = false;
}

void TcpSocketConnector::onSocketEvent(int events) {
    if (!isConnecting()) return;
    bool failed = m_cancelled || m_socket.hasError();
    if (!failed && !(events & EVENT_WRITE)) {
        if (!m_timer.isExpired()) return;
        failed = true;
    }
    // Let go of the attempt before calling out: the callback may connect again
    // or delete this connector.
    Callback callback;
    callback.swap(m_callback);
    if (failed) {
        _drop();
        callback(nullptr);
        return;
    }
    if (m_registered && m_selector) m_selector->removeEventHandler(m_socket.handle());
    m_registered = false;
    Socket connected;
    connected.swap(m_socket);
    m_cancelled = false;
    callback(&connected);
    if (connected.isValid()) connected.setLinger(true, 0);
}

}  // namespace net
}  // namespace kx
