#include "tunnel/LoadClient.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace bench {

namespace {

typedef std::chrono::steady_clock SteadyClock;

double secondsSince(SteadyClock::time_point since) {
    return std::chrono::duration<double>(SteadyClock::now() - since).count();
}

int msLeft(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

SteadyClock::time_point after(double seconds) {
    return SteadyClock::now() + std::chrono::microseconds(static_cast<int64_t>(seconds * 1e6));
}

std::string describe(const char* what) {
    return std::string(what) + ": " + strerror(errno);
}

void setNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// A connected TCP socket (non-blocking) or -1 with a reason.
int connectTo(const Endpoint& to, bool noDelay, int timeoutMs, std::string* error) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = describe("socket");
        return -1;
    }
    if (noDelay) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    setNonBlocking(fd);
    sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(to.ip);
    address.sin_port = htons(to.port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        if (errno != EINPROGRESS) {
            *error = describe("connect");
            close(fd);
            return -1;
        }
        pollfd pfd = {fd, POLLOUT, 0};
        int soError = 0;
        socklen_t length = sizeof(soError);
        if (poll(&pfd, 1, timeoutMs) != 1 ||
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0 || soError != 0) {
            errno = soError ? soError : ETIMEDOUT;
            *error = describe("connect");
            close(fd);
            return -1;
        }
    }
    return fd;
}

// Sends all of data (nothing when null) and reads back exactly size bytes
// before the deadline.
bool exchange(int fd, const char* data, char* reply, int size, SteadyClock::time_point deadline,
              std::string* error) {
    int sent = data ? 0 : size;
    int got = 0;
    while (got < size) {
        if (sent < size) {
            const ssize_t n = send(fd, data + sent, static_cast<size_t>(size - sent), MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<int>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                *error = describe("send");
                return false;
            }
        }
        const ssize_t n = recv(fd, reply + got, static_cast<size_t>(size - got), 0);
        if (n > 0) {
            got += static_cast<int>(n);
            continue;
        }
        if (n == 0) {
            *error = "peer closed the connection";
            return false;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            *error = describe("recv");
            return false;
        }
        pollfd pfd = {fd, static_cast<short>(POLLIN | (sent < size ? POLLOUT : 0)), 0};
        const int wait = msLeft(deadline);
        if (wait == 0 || poll(&pfd, 1, wait) == 0) {
            *error = "no echo in time";
            return false;
        }
    }
    return true;
}

}  // namespace

void LoadClient::closeAll(std::vector<int>* fds) {
    for (int fd : *fds) close(fd);
    fds->clear();
}

bool LoadClient::streamRate(const Endpoint& to, int streams, bool upload, double seconds,
                            double* bytesPerSecond, std::string* error) {
    std::vector<int> fds;
    for (int i = 0; i < streams; ++i) {
        const int fd = connectTo(to, false, 3000, error);
        if (fd < 0) {
            closeAll(&fds);
            return false;
        }
        fds.push_back(fd);
    }
    static const size_t CHUNK = 256 * 1024;
    std::vector<char> buffer(CHUNK, 'k');
    std::vector<pollfd> pfds(fds.size());
    for (size_t i = 0; i < fds.size(); ++i) {
        pfds[i] = {fds[i], static_cast<short>(upload ? POLLOUT : POLLIN), 0};
    }
    const auto start = SteadyClock::now();
    const auto warm = after(seconds / 4);
    const auto end = after(seconds);
    bool warmed = false;
    SteadyClock::time_point countFrom;
    int64_t counted = 0;
    bool ok = true;
    while (ok) {
        const auto now = SteadyClock::now();
        if (now >= end) break;
        if (!warmed && now >= warm) {
            warmed = true;
            countFrom = now;
        }
        const int wait = std::min(msLeft(end), 50);
        const int ready = poll(pfds.data(), pfds.size(), wait);
        if (ready < 0 && errno != EINTR) {
            *error = describe("poll");
            ok = false;
            break;
        }
        for (pollfd& pfd : pfds) {
            if (!pfd.revents) continue;
            if (pfd.revents & (POLLERR | POLLNVAL)) {
                *error = "stream failed";
                ok = false;
                break;
            }
            const ssize_t n = upload ? send(pfd.fd, buffer.data(), CHUNK, MSG_NOSIGNAL)
                                     : recv(pfd.fd, buffer.data(), CHUNK, 0);
            if (n > 0) {
                if (warmed) counted += n;
            } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                *error = n == 0 ? "peer closed the stream" : describe(upload ? "send" : "recv");
                ok = false;
                break;
            }
        }
    }
    const double measured = warmed ? secondsSince(countFrom) : 0;
    closeAll(&fds);
    if (!ok) return false;
    if (counted <= 0 || measured <= 0) {
        *error = "no bytes moved in " + std::to_string(secondsSince(start)) + " s";
        return false;
    }
    *bytesPerSecond = counted / measured;
    return true;
}

bool LoadClient::roundTrips(const Endpoint& echo, int size, double seconds, Latency* out,
                            std::string* error) {
    const int fd = connectTo(echo, true, 3000, error);
    if (fd < 0) return false;
    std::vector<char> data(static_cast<size_t>(size), 'r');
    std::vector<char> reply(static_cast<size_t>(size));
    std::vector<double> samples;
    samples.reserve(200000);
    const auto end = after(seconds);
    // The first exchanges open the path (stream open, window grants).
    int warmup = 50;
    bool ok = true;
    while (SteadyClock::now() < end && samples.size() < 1000000) {
        const auto t0 = SteadyClock::now();
        if (!exchange(fd, data.data(), reply.data(), size, after(2.0), error)) {
            ok = false;
            break;
        }
        if (warmup > 0) {
            --warmup;
            continue;
        }
        samples.push_back(secondsSince(t0) * 1e6);
    }
    close(fd);
    if (!ok) return false;
    if (samples.empty()) {
        *error = "no round trips";
        return false;
    }
    std::sort(samples.begin(), samples.end());
    out->samples = static_cast<int64_t>(samples.size());
    out->medianUs = samples[samples.size() / 2];
    out->p99Us = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    return true;
}

bool LoadClient::setupRate(const Endpoint& echo, double seconds, double* perSecond,
                           std::string* error) {
    char data[64];
    char reply[64];
    memset(data, 's', sizeof(data));
    const auto start = SteadyClock::now();
    const auto end = after(seconds);
    int64_t count = 0;
    while (SteadyClock::now() < end) {
        const int fd = connectTo(echo, true, 3000, error);
        if (fd < 0) return false;
        const bool ok = exchange(fd, data, reply, sizeof(data), after(3.0), error);
        close(fd);
        if (!ok) return false;
        ++count;
    }
    *perSecond = count / secondsSince(start);
    return true;
}

bool LoadClient::openIdle(const Endpoint& echo, int count, double timeoutSeconds,
                          std::vector<int>* fds, std::string* error) {
    const auto deadline = after(timeoutSeconds);
    // In batches, so the listener's backlog never overflows into SYN retries.
    static const int BATCH = 50;
    char byte = 'i';
    while (static_cast<int>(fds->size()) < count) {
        const size_t first = fds->size();
        const int batch = std::min(BATCH, count - static_cast<int>(first));
        for (int i = 0; i < batch; ++i) {
            const int fd = connectTo(echo, true, msLeft(deadline), error);
            if (fd < 0) return false;
            fds->push_back(fd);
            if (send(fd, &byte, 1, MSG_NOSIGNAL) != 1) {
                *error = describe("send");
                return false;
            }
        }
        for (size_t i = first; i < fds->size(); ++i) {
            char reply = 0;
            if (!exchange((*fds)[i], nullptr, &reply, 1, deadline, error)) return false;
        }
    }
    return true;
}

bool LoadClient::gapAfter(const Endpoint& echo, double warmupSeconds,
                          const std::function<bool()>& breakPath, double timeoutSeconds,
                          double* gapMs, std::string* error) {
    const int fd = connectTo(echo, true, 3000, error);
    if (fd < 0) return false;
    char data[64];
    char reply[64];
    memset(data, 'f', sizeof(data));
    bool ok = true;
    const auto warmEnd = after(warmupSeconds);
    while (ok && SteadyClock::now() < warmEnd) {
        ok = exchange(fd, data, reply, sizeof(data), after(2.0), error);
    }
    if (ok && !breakPath()) {
        *error = "could not break the path";
        ok = false;
    }
    if (ok) {
        const auto broken = SteadyClock::now();
        ok = exchange(fd, data, reply, sizeof(data), after(timeoutSeconds), error);
        if (ok) *gapMs = secondsSince(broken) * 1e3;
    }
    close(fd);
    return ok;
}

}  // namespace bench
