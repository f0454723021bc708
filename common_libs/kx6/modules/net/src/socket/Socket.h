#pragma once

#include <sys/uio.h>

#include <cstdint>

#include "core/src/value/Binary.h"
#include "net/src/socket/SocketAddress.h"

namespace kx {
namespace net {

// Owning IPv4 or IPv6 socket. Every operation on an invalid socket fails (false, -1
// or nothing). Writes never raise SIGPIPE: sends use MSG_NOSIGNAL where the
// socket option does not exist, and a default SIGPIPE disposition is set to
// ignore once per process.
class Socket {
public:
    enum { TYPE_NONE = 0, TYPE_TCP = 1, TYPE_UDP = 2 };
    enum { SHUT_SEND = 0, SHUT_RECEIVE = 1, SHUT_BOTH = 2 };
    static constexpr int LISTEN_BACKLOG = 64;
    static constexpr int CONNECT_TIMEOUT_MS = 10000;

    explicit Socket(int type = TYPE_NONE, IpAddress::Family family = IpAddress::V4);
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket();

    // The shared invalid socket.
    static const Socket& invalid();
    // Takes ownership of an open descriptor (blocking flag as given).
    static Socket adopt(int fd, bool blocking = true);

    int handle() const { return m_fd; }
    bool isValid() const { return m_fd != -1; }
    void swap(Socket& other) noexcept;
    // Closes the descriptor; the socket becomes invalid and blocking.
    void close();
    // Gives up the descriptor without closing it.
    int release();

    bool setBlocking(bool blocking);
    bool isBlocking() const { return isValid() && m_blocking != 0; }
    // The family the descriptor was opened for (V4 when not known).
    IpAddress::Family family() const { return m_family; }
    // Makes a socket this object opened, and has not bound or connected yet,
    // fit the address's family: a descriptor of the other family is replaced
    // by a new one (same type and blocking mode; options set before are lost).
    bool matchFamily(const IpAddress& address);

    // Blocking socket: waits up to CONNECT_TIMEOUT_MS. Non-blocking: true on
    // immediate success or when the connect is in progress.
    bool connect(const SocketAddress& address);
    bool bind(const SocketAddress& address);
    bool listen(int backlog = LISTEN_BACKLOG);
    // out must be non-null and invalid.
    bool accept(Socket* out);

    // The system call's result, or -1 without a call when the range does not
    // lie inside the buffer. Receives write in place: size the buffer first.
    int send(const core::Binary& data, int offset, int length);
    int sendTo(const core::Binary& data, int offset, int length, const SocketAddress& to);
    int receive(core::Binary* buffer, int offset, int length);
    int receiveFrom(core::Binary* buffer, int offset, int length, SocketAddress* from);
    // Unchecked raw forms for callers that manage their own memory.
    int send(const void* data, int length);
    int receive(void* data, int length);
    // Writes the buffers in order with one system call (count <= 1024).
    int sendGather(const iovec* buffers, int count);

    bool shutdown(int mode);
    bool setLinger(bool on, int seconds);
    bool setReceiveTimeout(int ms);
    bool setSendTimeout(int ms);
    bool setReuseAddress(int on);
    bool setReceiveBufferSize(int bytes);
    bool setSendBufferSize(int bytes);
    bool setNoDelay(int on);

    bool hasError() const;
    SocketAddress localAddress() const;
    SocketAddress peerAddress() const;

    // poll() on this descriptor alone; true when it reports readiness.
    bool waitReady(bool read, bool write, bool except, int timeoutMs) const;

    // True when the last failed call (errno) means "try again later".
    static bool lastErrorWouldBlock();

private:
    static bool _rangeOk(const core::Binary& buffer, int offset, int length);
    bool _setOption(int level, int name, const void* value, unsigned size);

    int m_fd;
    int m_blocking;
    int m_type;
    IpAddress::Family m_family;
    bool m_used;
};

}  // namespace net
}  // namespace kx
