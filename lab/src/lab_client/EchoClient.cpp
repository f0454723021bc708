#include "lab_client/EchoClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include "core/src/crypto/Digest.h"
#include "core/src/value/Binary.h"
#include "lab_backend/TcpBackend.h"

namespace lab {

namespace {

typedef std::chrono::steady_clock SteadyClock;

int64_t msSince(SteadyClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start)
        .count();
}

int familyOf(const kx::net::SocketAddress& address) {
    return address.ip.isV6() ? AF_INET6 : AF_INET;
}

// A connected, non-blocking TCP socket, or -1.
int connectTcp(const kx::net::SocketAddress& to, int32_t limitMs, std::string* error) {
    int fd = socket(familyOf(to), SOCK_STREAM, 0);
    if (fd < 0) {
        *error = "socket failed";
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    sockaddr_storage address;
    const socklen_t length = to.toSockaddr(&address);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 && errno != EINPROGRESS) {
        *error = "connect failed";
        close(fd);
        return -1;
    }
    pollfd p = {fd, POLLOUT, 0};
    int soError = 0;
    socklen_t errorLength = sizeof(soError);
    if (poll(&p, 1, limitMs) != 1 ||
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &errorLength) != 0 || soError != 0) {
        *error = "connect to " + to.toStdString() + " failed";
        close(fd);
        return -1;
    }
    return fd;
}

std::string md5(const std::vector<uint8_t>& data, int64_t length) {
    return kx::core::Digest::md5Hex(kx::core::Binary(data.data(), static_cast<int32_t>(length)))
        .toStdString();
}

}  // namespace

void EchoClient::fill(uint8_t* data, int64_t length, uint32_t seed) {
    uint32_t x = seed ? seed : 1;
    for (int64_t i = 0; i < length; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = static_cast<uint8_t>(x);
    }
}

EchoClient::Result EchoClient::tcpEcho(const kx::net::SocketAddress& to, int64_t bytes,
                                       int32_t limitMs, uint32_t seed,
                                       const std::function<void(int64_t)>& onProgress) {
    Result result;
    SteadyClock::time_point start = SteadyClock::now();
    std::vector<uint8_t> out(static_cast<size_t>(bytes));
    std::vector<uint8_t> in(static_cast<size_t>(bytes));
    fill(out.data(), bytes, seed);
    int fd = connectTcp(to, limitMs, &result.error);
    if (fd < 0) return result;
    while (result.received < bytes) {
        int64_t left = limitMs - msSince(start);
        if (left <= 0) {
            result.error = "time limit reached";
            break;
        }
        pollfd p = {fd, static_cast<short>(POLLIN | (result.sent < bytes ? POLLOUT : 0)), 0};
        if (poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 100))) < 0 && errno != EINTR) {
            result.error = "poll failed";
            break;
        }
        if ((p.revents & POLLOUT) && result.sent < bytes) {
            size_t chunk = static_cast<size_t>(std::min<int64_t>(bytes - result.sent, 65536));
            ssize_t n = send(fd, out.data() + result.sent, chunk, MSG_NOSIGNAL);
            if (n > 0) result.sent += n;
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = recv(fd, in.data() + result.received,
                             static_cast<size_t>(bytes - result.received), 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                result.error =
                    "the connection closed after " + std::to_string(result.received) + " bytes";
                break;
            }
            if (n > 0) {
                result.received += n;
                if (onProgress) onProgress(result.received);
            }
        }
    }
    close(fd);
    result.elapsedMs = msSince(start);
    result.sentMd5 = md5(out, bytes);
    result.receivedMd5 = md5(in, result.received);
    if (result.error.empty() && result.sentMd5 != result.receivedMd5)
        result.error = "the echo differs from what was sent";
    result.ok = result.error.empty();
    return result;
}

EchoClient::Result EchoClient::tcpSource(const kx::net::SocketAddress& from, int64_t bytes,
                                         int32_t limitMs) {
    Result result;
    SteadyClock::time_point start = SteadyClock::now();
    int fd = connectTcp(from, limitMs, &result.error);
    if (fd < 0) return result;
    std::vector<uint8_t> buffer(65536);
    while (result.received < bytes && result.error.empty()) {
        int64_t left = limitMs - msSince(start);
        if (left <= 0) {
            result.error = "time limit reached";
            break;
        }
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 100))) <= 0) continue;
        size_t want = static_cast<size_t>(
            std::min<int64_t>(bytes - result.received, static_cast<int64_t>(buffer.size())));
        ssize_t n = recv(fd, buffer.data(), want, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            result.error = "the connection closed";
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[static_cast<size_t>(i)] != TcpBackend::patternByte(result.received + i)) {
                result.error = "byte " + std::to_string(result.received + i) + " differs";
                break;
            }
        }
        if (n > 0) result.received += n;
    }
    close(fd);
    result.elapsedMs = msSince(start);
    result.ok = result.error.empty();
    return result;
}

EchoClient::Result EchoClient::udpEcho(const kx::net::SocketAddress& to, int32_t count,
                                       int32_t size, int32_t limitMs, uint32_t seed) {
    Result result;
    SteadyClock::time_point start = SteadyClock::now();
    int fd = socket(familyOf(to), SOCK_DGRAM, 0);
    if (fd < 0) {
        result.error = "socket failed";
        return result;
    }
    sockaddr_storage local, remote;
    const socklen_t localLength =
        kx::net::SocketAddress(
            to.ip.isV6() ? kx::net::IpAddress("::1") : kx::net::IpAddress(0x7F000001u), 0)
            .toSockaddr(&local);
    const socklen_t remoteLength = to.toSockaddr(&remote);
    int buffer = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
    bind(fd, reinterpret_cast<sockaddr*>(&local), localLength);
    std::vector<uint8_t> out(static_cast<size_t>(size));
    std::vector<uint8_t> in(65536);
    for (int32_t i = 0; i < count && result.error.empty(); ++i) {
        fill(out.data(), size, seed + static_cast<uint32_t>(i));
        bool echoed = false;
        for (int attempt = 0; attempt < 4 && !echoed; ++attempt) {
            if (sendto(fd, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&remote),
                       remoteLength) != static_cast<ssize_t>(out.size())) {
                result.error = "sendto failed";
                break;
            }
            result.sent += size;
            SteadyClock::time_point sentAt = SteadyClock::now();
            while (!echoed && msSince(sentAt) < 1000 && msSince(start) < limitMs) {
                pollfd p = {fd, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0) continue;
                ssize_t n = recv(fd, in.data(), in.size(), 0);
                // A late echo of an earlier try is skipped.
                if (n == size && std::equal(out.begin(), out.end(), in.begin())) echoed = true;
            }
            if (msSince(start) >= limitMs) break;
        }
        if (!echoed && result.error.empty())
            result.error = "datagram " + std::to_string(i) + " never came back";
        if (echoed) result.received += size;
    }
    close(fd);
    result.elapsedMs = msSince(start);
    result.ok = result.error.empty();
    return result;
}

bool EchoClient::admin(const kx::net::SocketAddress& to, const std::string& line,
                       std::string* answer, int32_t limitMs) {
    std::string error;
    SteadyClock::time_point start = SteadyClock::now();
    int fd = connectTcp(to, limitMs, &error);
    if (fd < 0) return false;
    std::string text = line + "\n";
    bool ok = send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    std::string reply;
    while (ok && msSince(start) < limitMs) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char c;
        ssize_t n = recv(fd, &c, 1, 0);
        if (n <= 0) break;
        if (c == '\n') {
            if (answer) *answer = reply;
            close(fd);
            return true;
        }
        reply += c;
    }
    close(fd);
    return false;
}

}  // namespace lab
