#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "net/src/socket/SocketAddress.h"

namespace e2e {

// A TCP relay on loopback that holds every byte for a fixed one-way delay in
// each direction, as a long link between the SDK and a switch would. It runs
// on a thread of its own, accepts any number of connections and forwards each
// to `to`. No rate limit: only the round trip changes.
class DelayRelay {
public:
    DelayRelay(const kx::net::SocketAddress& to, int oneWayMs) : m_to(to), m_delayMs(oneWayMs) {}
    ~DelayRelay() { stop(); }

    bool start() {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        if (m_listener < 0) return false;
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(at);
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&at), sizeof(at)) != 0 ||
            ::listen(m_listener, 16) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&at), &length) != 0)
            return false;
        m_port = ntohs(at.sin_port);
        ::fcntl(m_listener, F_SETFL, O_NONBLOCK);
        m_thread = std::thread([this] { _run(); });
        return true;
    }
    void stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        for (auto& pipe : m_pipes) {
            ::close(pipe->fd[0]);
            ::close(pipe->fd[1]);
        }
        m_pipes.clear();
        if (m_listener >= 0) ::close(m_listener);
        m_listener = -1;
    }
    kx::net::SocketAddress address() const {
        return kx::net::SocketAddress(kx::net::IpAddress("127.0.0.1"), m_port);
    }

private:
    using Clock = std::chrono::steady_clock;
    struct Chunk {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
        size_t written = 0;
    };
    // fd[0] the accepted side, fd[1] the side towards `to`; queue[i] holds
    // what was read from fd[i] for the other.
    struct Pipe {
        int fd[2] = {-1, -1};
        std::deque<Chunk> queue[2];
        bool open = true;
    };
    // Bytes held per direction before reading stops, as a full link would.
    static constexpr size_t MAX_HELD = 64u << 20;

    void _accept() {
        int accepted = ::accept(m_listener, nullptr, nullptr);
        if (accepted < 0) return;
        int out = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to = m_to.toSockaddr();
        if (out < 0 || ::connect(out, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
            ::close(accepted);
            if (out >= 0) ::close(out);
            return;
        }
        std::unique_ptr<Pipe> pipe(new Pipe);
        pipe->fd[0] = accepted;
        pipe->fd[1] = out;
        for (int fd : pipe->fd) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            ::fcntl(fd, F_SETFL, O_NONBLOCK);
        }
        m_pipes.push_back(std::move(pipe));
    }

    static size_t _held(const std::deque<Chunk>& queue) {
        size_t n = 0;
        for (const Chunk& c : queue) n += c.bytes.size() - c.written;
        return n;
    }

    void _run() {
        std::vector<uint8_t> buffer(65536);
        while (!m_stop) {
            std::vector<pollfd> fds{{m_listener, POLLIN, 0}};
            for (auto& pipe : m_pipes) {
                for (int i = 0; i < 2 && pipe->open; ++i) fds.push_back({pipe->fd[i], POLLIN, 0});
            }
            ::poll(fds.data(), fds.size(), 1);
            if (fds[0].revents & POLLIN) _accept();
            const Clock::time_point now = Clock::now();
            for (auto& pipe : m_pipes) {
                if (!pipe->open) continue;
                for (int i = 0; i < 2 && pipe->open; ++i) {
                    // Read what is there into the queue towards the other side.
                    while (_held(pipe->queue[i]) < MAX_HELD) {
                        ssize_t n = ::recv(pipe->fd[i], buffer.data(), buffer.size(), 0);
                        if (n > 0) {
                            pipe->queue[i].push_back(
                                Chunk{now + std::chrono::milliseconds(m_delayMs),
                                      std::vector<uint8_t>(buffer.begin(), buffer.begin() + n)});
                            continue;
                        }
                        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) pipe->open = false;
                        break;
                    }
                    // Write what is due.
                    std::deque<Chunk>& queue = pipe->queue[i];
                    while (pipe->open && !queue.empty() && queue.front().due <= now) {
                        Chunk& c = queue.front();
                        ssize_t n = ::send(pipe->fd[1 - i], c.bytes.data() + c.written,
                                           c.bytes.size() - c.written, MSG_NOSIGNAL);
                        if (n < 0) {
                            if (errno != EAGAIN && errno != EWOULDBLOCK) pipe->open = false;
                            break;
                        }
                        c.written += size_t(n);
                        if (c.written < c.bytes.size()) break;
                        queue.pop_front();
                    }
                }
                if (!pipe->open) {
                    // Either end gone: both go, as a broken link would.
                    ::shutdown(pipe->fd[0], SHUT_RDWR);
                    ::shutdown(pipe->fd[1], SHUT_RDWR);
                }
            }
        }
    }

    kx::net::SocketAddress m_to;
    int m_delayMs;
    int m_listener = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::vector<std::unique_ptr<Pipe>> m_pipes;
};

}  // namespace e2e
