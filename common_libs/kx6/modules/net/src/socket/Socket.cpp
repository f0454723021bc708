#include "net/src/socket/Socket.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstring>
#include <utility>

namespace kx {
namespace net {

namespace {

#ifdef MSG_NOSIGNAL
const int SEND_FLAGS = MSG_NOSIGNAL;
#else
const int SEND_FLAGS = 0;
#endif

// A peer that closes must never kill the process: ignore SIGPIPE unless the
// host installed a handler of its own.
void ignoreSigpipeOnce() {
    static const bool done = [] {
        struct sigaction current;
        std::memset(&current, 0, sizeof(current));
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
            current.sa_handler == SIG_DFL) {
            signal(SIGPIPE, SIG_IGN);
        }
        return true;
    }();
    (void)done;
}

// Runs at start-up whenever the socket code is linked in.
const bool g_sigpipeIgnored = (ignoreSigpipeOnce(), true);

bool setNoSigpipe(int fd) {
#ifdef SO_NOSIGPIPE
    int one = 1;
    return setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof(one)) == 0;
#else
    (void)fd;
    return true;
#endif
}

int openSocket(int type, IpAddress::Family family) {
    const int domain = family == IpAddress::V6 ? AF_INET6 : AF_INET;
    int fd = -1;
    if (type == Socket::TYPE_TCP) {
        fd = ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    } else if (type == Socket::TYPE_UDP) {
        fd = ::socket(domain, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    }
    if (fd == -1) return -1;
    // An IPv6 socket serves IPv6 only, so that the same port can be bound on
    // 127.0.0.1 and ::1 by different listeners.
    int one = 1;
    if ((family == IpAddress::V6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one)) != 0) ||
        !setNoSigpipe(fd)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

IpAddress::Family familyOf(int fd) {
    sockaddr_storage sa;
    socklen_t len = sizeof(sa);
    if (fd >= 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0 && sa.ss_family == AF_INET6)
        return IpAddress::V6;
    return IpAddress::V4;
}

}  // namespace

Socket::Socket(int type, IpAddress::Family family)
    : m_fd(-1), m_blocking(1), m_type(type), m_family(family), m_used(false) {
    (void)g_sigpipeIgnored;
    ignoreSigpipeOnce();
    m_fd = openSocket(type, family);
}

Socket::Socket(Socket&& other) noexcept
    : m_fd(other.m_fd),
      m_blocking(other.m_blocking),
      m_type(other.m_type),
      m_family(other.m_family),
      m_used(other.m_used) {
    other.m_fd = -1;
    other.m_blocking = 1;
    other.m_type = TYPE_NONE;
    other.m_used = false;
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        swap(other);
    }
    return *this;
}

Socket::~Socket() {
    close();
}

const Socket& Socket::invalid() {
    static const Socket value;
    return value;
}

Socket Socket::adopt(int fd, bool blocking) {
    Socket s;
    s.m_fd = fd < 0 ? -1 : fd;
    s.m_blocking = blocking ? 1 : 0;
    s.m_family = familyOf(s.m_fd);
    s.m_used = true;
    return s;
}

void Socket::swap(Socket& other) noexcept {
    std::swap(m_fd, other.m_fd);
    std::swap(m_blocking, other.m_blocking);
    std::swap(m_type, other.m_type);
    std::swap(m_family, other.m_family);
    std::swap(m_used, other.m_used);
}

void Socket::close() {
    if (m_fd != -1) ::close(m_fd);
    m_fd = -1;
    m_blocking = 1;
    m_type = TYPE_NONE;
    m_used = false;
}

int Socket::release() {
    int fd = m_fd;
    m_fd = -1;
    m_blocking = 1;
    m_type = TYPE_NONE;
    m_used = false;
    return fd;
}

bool Socket::matchFamily(const IpAddress& address) {
    if (!isValid()) return false;
    if (address.family() == m_family) return true;
    if (m_used || m_type == TYPE_NONE) return false;
    int fd = openSocket(m_type, address.family());
    if (fd == -1) return false;
    const bool blocking = m_blocking != 0;
    ::close(m_fd);
    m_fd = fd;
    m_blocking = 1;
    m_family = address.family();
    return blocking || setBlocking(false);
}

bool Socket::setBlocking(bool blocking) {
    if (!isValid()) return false;
    int flags = fcntl(m_fd, F_GETFL, 0);
    if (flags == -1) return false;
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (fcntl(m_fd, F_SETFL, flags) == -1) return false;
    m_blocking = blocking ? 1 : 0;
    return true;
}

bool Socket::connect(const SocketAddress& address) {
    if (!isValid()) return false;
    sockaddr_storage sa;
    const socklen_t length = address.toSockaddr(&sa);
    m_used = true;
    if (!m_blocking) {
        int rc = ::connect(m_fd, reinterpret_cast<sockaddr*>(&sa), length);
        return rc == 0 || errno == EINPROGRESS;
    }
    if (!setBlocking(false)) return false;
    bool ok = false;
    int rc = ::connect(m_fd, reinterpret_cast<sockaddr*>(&sa), length);
    if (rc == 0) {
        ok = true;
    } else if (errno == EINPROGRESS) {
        pollfd pfd;
        pfd.fd = m_fd;
        pfd.events = POLLOUT | POLLWRBAND | POLLERR;
        pfd.revents = 0;
        int n;
        do {
            n = ::poll(&pfd, 1, CONNECT_TIMEOUT_MS);
        } while (n < 0 && errno == EINTR);
        ok = n > 0 && !hasError();
    }
    setBlocking(true);
    return ok;
}

bool Socket::bind(const SocketAddress& address) {
    if (!isValid()) return false;
    sockaddr_storage sa;
    const socklen_t length = address.toSockaddr(&sa);
    m_used = true;
    return ::bind(m_fd, reinterpret_cast<sockaddr*>(&sa), length) == 0;
}

bool Socket::listen(int backlog) {
    return isValid() && ::listen(m_fd, backlog) == 0;
}

bool Socket::accept(Socket* out) {
    if (!isValid() || !out || out->isValid()) return false;
    int fd;
    do {
        fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC | (m_blocking ? 0 : SOCK_NONBLOCK));
    } while (fd == -1 && errno == EINTR);
    if (fd == -1) return false;
    if (!setNoSigpipe(fd)) {
        ::close(fd);
        return false;
    }
    out->m_fd = fd;
    out->m_blocking = m_blocking;
    out->m_type = m_type;
    out->m_family = m_family;
    out->m_used = true;
    return true;
}

bool Socket::_rangeOk(const core::Binary& buffer, int offset, int length) {
    if (offset < 0 || length < 0) return false;
    int64_t end = int64_t(offset) + length;
    return end <= buffer.length();
}

int Socket::send(const core::Binary& data, int offset, int length) {
    if (!isValid() || !_rangeOk(data, offset, length)) return -1;
    return static_cast<int>(::send(m_fd, data.data() + offset, size_t(length), SEND_FLAGS));
}

int Socket::sendTo(const core::Binary& data, int offset, int length, const SocketAddress& to) {
    if (!isValid() || !_rangeOk(data, offset, length)) return -1;
    sockaddr_storage sa;
    const socklen_t saLength = to.toSockaddr(&sa);
    m_used = true;
    return static_cast<int>(::sendto(m_fd, data.data() + offset, size_t(length), SEND_FLAGS,
                                     reinterpret_cast<sockaddr*>(&sa), saLength));
}

int Socket::receive(core::Binary* buffer, int offset, int length) {
    if (!isValid() || !buffer || !_rangeOk(*buffer, offset, length)) return -1;
    return static_cast<int>(::recv(m_fd, buffer->data() + offset, size_t(length), 0));
}

int Socket::receiveFrom(core::Binary* buffer, int offset, int length, SocketAddress* from) {
    if (!isValid() || !buffer || !_rangeOk(*buffer, offset, length)) return -1;
    sockaddr_storage sa;
    std::memset(&sa, 0, sizeof(sa));
    socklen_t len = sizeof(sa);
    int rc = static_cast<int>(::recvfrom(m_fd, buffer->data() + offset, size_t(length), 0,
                                         reinterpret_cast<sockaddr*>(&sa), &len));
    if (rc >= 0 && from && !SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&sa), len, from))
        *from = SocketAddress::any();
    return rc;
}

int Socket::send(const void* data, int length) {
    if (!isValid() || length < 0 || (!data && length > 0)) return -1;
    return static_cast<int>(::send(m_fd, data, size_t(length), SEND_FLAGS));
}

int Socket::sendGather(const struct iovec* buffers, int count) {
    if (!isValid() || count < 0 || count > 1024 || (!buffers && count > 0)) return -1;
    msghdr msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.msg_iov = const_cast<iovec*>(buffers);
    msg.msg_iovlen = size_t(count);
    return static_cast<int>(::sendmsg(m_fd, &msg, SEND_FLAGS));
}

int Socket::receive(void* data, int length) {
    if (!isValid() || length < 0 || (!data && length > 0)) return -1;
    return static_cast<int>(::recv(m_fd, data, size_t(length), 0));
}

bool Socket::shutdown(int mode) {
    if (!isValid()) return false;
    int how = mode == SHUT_SEND ? SHUT_WR : mode == SHUT_RECEIVE ? SHUT_RD : SHUT_RDWR;
    return ::shutdown(m_fd, how) == 0;
}

bool Socket::_setOption(int level, int name, const void* value, unsigned size) {
    return isValid() && setsockopt(m_fd, level, name, value, socklen_t(size)) == 0;
}

bool Socket::setLinger(bool on, int seconds) {
    linger l;
    l.l_onoff = on ? 1 : 0;
    l.l_linger = seconds < 0 ? 0 : seconds;
    return _setOption(SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}

namespace {
timeval toTimeval(int ms) {
    if (ms < 0) ms = 0;
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}
}  // namespace

bool Socket::setReceiveTimeout(int ms) {
    timeval tv = toTimeval(ms);
    return _setOption(SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

bool Socket::setSendTimeout(int ms) {
    timeval tv = toTimeval(ms);
    return _setOption(SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

bool Socket::setReuseAddress(int on) {
    return _setOption(SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
}

bool Socket::setReceiveBufferSize(int bytes) {
    return _setOption(SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
}

bool Socket::setSendBufferSize(int bytes) {
    return _setOption(SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
}

bool Socket::setNoDelay(int on) {
    return _setOption(IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

bool Socket::hasError() const {
    if (!isValid()) return true;
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return true;
    return err != 0;
}

SocketAddress Socket::localAddress() const {
    if (!isValid()) return SocketAddress::any();
    sockaddr_storage sa;
    socklen_t len = sizeof(sa);
    SocketAddress out;
    if (getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
        !SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&sa), len, &out))
        return SocketAddress::any();
    return out;
}

SocketAddress Socket::peerAddress() const {
    if (!isValid()) return SocketAddress::any();
    sockaddr_storage sa;
    socklen_t len = sizeof(sa);
    SocketAddress out;
    if (getpeername(m_fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
        !SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&sa), len, &out))
        return SocketAddress::any();
    return out;
}

bool Socket::waitReady(bool read, bool write, bool except, int timeoutMs) const {
    if (!isValid()) return false;
    pollfd pfd;
    pfd.fd = m_fd;
    pfd.events = 0;
    if (read) pfd.events |= POLLIN | POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR;
    if (write) pfd.events |= POLLOUT | POLLWRBAND | POLLERR;
    if (except) pfd.events |= POLLPRI;
    pfd.revents = 0;
    return ::poll(&pfd, 1, timeoutMs < 0 ? -1 : timeoutMs) > 0;
}

bool Socket::lastErrorWouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

}  // namespace net
}  // namespace kx
