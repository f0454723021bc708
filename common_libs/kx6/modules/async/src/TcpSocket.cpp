#include "async/src/TcpSocket.h"

#include <utility>

#include "async/src/SocketReactor.h"
#include "core/src/debug/Assert.h"

namespace kx {
namespace async {

TcpSocket::TcpSocket(SocketReactor* reactor) : m_reactor(reactor), m_socket(net::Socket::TYPE_TCP) {
    if (m_socket.isValid() && !m_socket.setBlocking(false)) m_socket.close();
}

TcpSocket::TcpSocket(SocketReactor* reactor, net::Socket&& socket)
    : m_reactor(reactor), m_socket(std::move(socket)) {
    if (m_socket.isValid() && !m_socket.setBlocking(false)) m_socket.close();
}

TcpSocket::TcpSocket(TcpSocket&& socket) : m_reactor(socket.m_reactor) {
    KX_ASSERT(socket.idle());
    KX_ASSERT(socket.m_closing == CloseMode::None);
    socket._releaseDescriptor();
    m_socket = std::move(socket.m_socket);
}

TcpSocket& TcpSocket::operator=(TcpSocket&& socket) {
    if (this == &socket) return *this;
    KX_ASSERT(this->idle());
    KX_ASSERT(socket.idle());
    KX_ASSERT(socket.m_closing == CloseMode::None);
    _releaseDescriptor();
    socket._releaseDescriptor();
    m_reactor = socket.m_reactor;
    m_socket = std::move(socket.m_socket);
    m_closing = CloseMode::None;
    m_closePosted = false;
    m_onClose = nullptr;
    return *this;
}

TcpSocket::~TcpSocket() {
    KX_ASSERT(this->idle());
    if (m_destroyed) *m_destroyed = true;
    _releaseDescriptor();
    if (m_socket.isValid()) {
        m_socket.setLinger(true, 0);
        m_socket.shutdown(net::Socket::SHUT_RECEIVE);
        m_socket.close();
    }
}

void TcpSocket::setReactor(SocketReactor* reactor) {
    KX_ASSERT(this->idle());
    KX_ASSERT(m_closing == CloseMode::None);
    _releaseDescriptor();
    m_reactor = reactor;
}

bool TcpSocket::idle() const {
    return !m_onConnect && !m_onAccept && !m_onRecv && !m_onSend && m_deferred.empty();
}

template <typename F>
bool TcpSocket::_invoke(F&& fn) {
    bool destroyed = false;
    bool* outer = m_destroyed;
    m_destroyed = &destroyed;
    fn();
    if (destroyed) {
        if (outer) *outer = true;
        return false;
    }
    m_destroyed = outer;
    return true;
}

void TcpSocket::_defer(std::function<void()> fn) {
    if (!m_reactor) return;
    m_deferred.push_back(std::move(fn));
    m_reactor->post([this]() { _runDeferred(); });
}

void TcpSocket::_runDeferred() {
    std::function<void()> fn = std::move(m_deferred.front());
    m_deferred.pop_front();
    if (!_invoke(fn)) return;
    _tryCompleteClose();
}

void TcpSocket::_releaseDescriptor() {
    if (m_reactor && m_socket.isValid()) m_reactor->release(m_socket.handle());
}

// ---- connect / accept ----

void TcpSocket::connect(const net::SocketAddress& address, std::function<void(bool)> callback,
                        int32_t timeoutMs) {
    if (!callback) callback = [](bool) {};
    if (!idle() || !m_reactor || !m_socket.isValid() || m_closing != CloseMode::None ||
        !_matchFamily(address) || !m_reactor->isWriteFree(m_socket.handle()) || !m_socket.connect(address)) {
        _defer([callback]() { callback(false); });
        return;
    }
    m_onConnect = std::move(callback);
    m_reactor->waitWritable(
        m_socket.handle(), [this](bool ok) { _onConnectReady(ok); },
        timeoutMs < 0 ? CONNECT_TIMEOUT_MS : timeoutMs);
}

void TcpSocket::_onConnectReady(bool ok) {
    if (ok && m_socket.hasError()) ok = false;
    std::function<void(bool)> cb = std::move(m_onConnect);
    m_onConnect = nullptr;
    if (!_invoke([&]() { cb(ok); })) return;
    _tryCompleteClose();
}

bool TcpSocket::_matchFamily(const net::SocketAddress& address) {
    if (m_socket.family() == address.ip.family()) return true;
    // A fresh socket is reopened for the address's family; the reactor must
    // forget the old descriptor first.
    _releaseDescriptor();
    return m_socket.matchFamily(address.ip);
}

bool TcpSocket::bind(const net::SocketAddress& address) {
    if (!_matchFamily(address)) return false;
    m_socket.setReuseAddress(1);
    return m_socket.bind(address);
}

bool TcpSocket::listen() {
    return m_socket.listen();
}

void TcpSocket::accept(AcceptCallback callback, int32_t timeoutMs) {
    if (!callback) return;
    if (m_onRecv || m_onAccept || !m_deferred.empty() || !m_reactor || !m_socket.isValid() ||
        m_closing != CloseMode::None || !m_reactor->isReadFree(m_socket.handle())) {
        SocketReactor* reactor = m_reactor;
        _defer([callback, reactor]() {
            TcpSocket none(reactor, net::Socket());
            callback(none);
        });
        return;
    }
    m_onAccept = std::move(callback);
    m_reactor->waitReadable(
        m_socket.handle(), [this](bool ok) { _onAcceptReady(ok); }, timeoutMs);
}

void TcpSocket::_onAcceptReady(bool ok) {
    net::Socket accepted;
    if (ok && m_closing == CloseMode::None) m_socket.accept(&accepted);
    TcpSocket peer(m_reactor, std::move(accepted));
    AcceptCallback cb = std::move(m_onAccept);
    m_onAccept = nullptr;
    if (!_invoke([&]() { cb(peer); })) return;
    _tryCompleteClose();
}

// ---- recv ----

void TcpSocket::recv(int32_t maxBytes, RecvCallback callback, int32_t timeoutMs) {
    if (!callback) callback = [](core::Binary&) {};
    if (m_onRecv || m_onAccept || !m_deferred.empty() || maxBytes < 1 || !m_reactor ||
        !m_socket.isValid() || m_closing != CloseMode::None ||
        !m_reactor->isReadFree(m_socket.handle())) {
        _defer([callback]() {
            core::Binary none;
            callback(none);
        });
        return;
    }
    m_onRecv = std::move(callback);
    m_recvWanted = maxBytes;
    m_recvTimed = timeoutMs >= 0;
    m_recvTimer.start(m_recvTimed ? timeoutMs : 0);
    // Waiting with a 0 limit fails at once; a recv with limit 0 still gets
    // whatever is already buffered.
    m_reactor->waitReadable(
        m_socket.handle(), [this](bool ok) { _onRecvReady(ok); },
        m_recvTimed ? (timeoutMs > 0 ? timeoutMs : 1) : -1);
}

void TcpSocket::_waitRecv() {
    int32_t left = -1;
    if (m_recvTimed) {
        left = m_recvTimer.remaining();
        if (left <= 0) {
            core::Binary none;
            _completeRecv(none);
            return;
        }
    }
    m_reactor->waitReadable(
        m_socket.handle(), [this](bool ok) { _onRecvReady(ok); }, left);
}

void TcpSocket::_onRecvReady(bool ok) {
    core::Binary data;
    if (ok && m_socket.isValid() && m_closing == CloseMode::None) {
        int32_t got = 0;
        while (got < m_recvWanted) {
            int32_t step = m_recvWanted - got;
            if (step > READ_STEP) step = READ_STEP;
            data.resize(got + step);
            int n = m_socket.receive(&data, got, step);
            if (n > 0) {
                got += n;
                if (n < step) break;  // drained what the kernel had
                continue;
            }
            if (n < 0 && net::Socket::lastErrorWouldBlock() && got == 0) {
                // Readiness without data (spurious wake-up): keep waiting.
                data.resize(0);
                _waitRecv();
                return;
            }
            break;  // end of stream or error: deliver what was read
        }
        data.resize(got);
    }
    _completeRecv(data);
}

void TcpSocket::_completeRecv(core::Binary& data) {
    RecvCallback cb = std::move(m_onRecv);
    m_onRecv = nullptr;
    m_recvWanted = 0;
    if (!_invoke([&]() { cb(data); })) return;
    _tryCompleteClose();
}

// ---- send ----

void TcpSocket::send(const core::Binary& data, SendCallback callback, int32_t timeoutMs) {
    if (!callback) callback = [](bool) {};
    if (m_onSend || m_onConnect || !m_deferred.empty() || data.isEmpty() || !m_reactor ||
        !m_socket.isValid() || m_closing != CloseMode::None ||
        !m_reactor->isWriteFree(m_socket.handle())) {
        _defer([callback]() { callback(false); });
        return;
    }
    m_onSend = std::move(callback);
    m_sending = data;
    m_sendOffset = 0;
    m_sendTimed = timeoutMs >= 0;
    m_sendTimer.start(m_sendTimed ? timeoutMs : 0);
    m_reactor->post([this]() { _doSendNow(); });
}

void TcpSocket::_doSendNow() {
    KX_ASSERT(m_sendOffset <= m_sending.length());
    while (m_sendOffset < m_sending.length()) {
        if (!m_socket.isValid() || m_closing == CloseMode::Disconnect) {
            _completeSend(false);
            return;
        }
        int n = m_socket.send(m_sending, m_sendOffset, m_sending.length() - m_sendOffset);
        if (n > 0) {
            m_sendOffset += n;
            continue;
        }
        if (n < 0 && net::Socket::lastErrorWouldBlock()) {
            int32_t left = -1;
            if (m_sendTimed) {
                left = m_sendTimer.remaining();
                if (left <= 0) {
                    _completeSend(false);
                    return;
                }
            }
            m_reactor->waitWritable(
                m_socket.handle(),
                [this](bool ok) {
                    if (ok) {
                        _doSendNow();
                    } else {
                        _completeSend(false);
                    }
                },
                left);
            return;
        }
        _completeSend(false);
        return;
    }
    _completeSend(true);
}

void TcpSocket::_completeSend(bool ok) {
    SendCallback cb = std::move(m_onSend);
    m_onSend = nullptr;
    m_sending.clear();
    m_sendOffset = 0;
    if (!_invoke([&]() { cb(ok); })) return;
    _tryCompleteClose();
}

// ---- close ----

void TcpSocket::shutdown(CloseCallback callback) {
    _startClose(CloseMode::Shutdown, std::move(callback));
}

void TcpSocket::disconnect(CloseCallback callback) {
    _startClose(CloseMode::Disconnect, std::move(callback));
}

void TcpSocket::_startClose(CloseMode mode, CloseCallback callback) {
    if (m_closing != CloseMode::None) {
        // Already closing: run this callback too when the close finishes.
        if (callback) {
            CloseCallback first = std::move(m_onClose);
            m_onClose = [first, callback]() {
                if (first) first();
                callback();
            };
        }
        if (mode == CloseMode::Disconnect && m_closing == CloseMode::Shutdown) {
            m_closing = CloseMode::Disconnect;
            if (m_reactor && m_socket.isValid()) {
                m_reactor->cancelWait(m_socket.handle(), SocketReactor::SLOT_WRITE);
            }
        }
        return;
    }
    if (!m_socket.isValid() || !m_reactor) {
        if (callback) _defer(std::move(callback));
        return;
    }
    m_closing = mode;
    m_onClose = std::move(callback);
    int fd = m_socket.handle();
    m_reactor->cancelWait(fd, SocketReactor::SLOT_READ);
    m_reactor->cancelWait(fd, SocketReactor::SLOT_EXCEPT);
    if (mode == CloseMode::Disconnect || m_onConnect) {
        m_reactor->cancelWait(fd, SocketReactor::SLOT_WRITE);
    }
    _tryCompleteClose();
}

void TcpSocket::_tryCompleteClose() {
    if (m_closing == CloseMode::None || m_closePosted) return;
    if (m_onConnect || m_onAccept || m_onRecv || m_onSend) return;
    m_closePosted = true;
    _defer([this]() { _closeStep(); });
}

void TcpSocket::_closeStep() {
    _releaseDescriptor();
    if (m_socket.isValid()) {
        if (m_closing == CloseMode::Disconnect) {
            m_socket.setLinger(true, 0);
            m_socket.shutdown(net::Socket::SHUT_RECEIVE);
        } else {
            m_socket.shutdown(net::Socket::SHUT_SEND);
        }
        m_socket.close();
    }
    m_closing = CloseMode::None;
    m_closePosted = false;
    CloseCallback cb = std::move(m_onClose);
    m_onClose = nullptr;
    if (cb) cb();
}

}  // namespace async
}  // namespace kx
