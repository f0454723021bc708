// The emulated link over real loopback sockets: delay, the shared rate cap,
// bytes intact, UDP drops at a full queue, a refused target. Every wait is
// bounded; a whole run takes a few seconds.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "WanProxy.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int boundSocket(int type, int* port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t length = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    *port = ntohs(a.sin_port);
    return fd;
}

int connectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Back ends on loopback: a TCP echo (one thread per connection) and a UDP echo.
class EchoServers {
public:
    EchoServers() {
        m_tcp = boundSocket(SOCK_STREAM, &tcpPort);
        listen(m_tcp, 64);
        m_udp = boundSocket(SOCK_DGRAM, &udpPort);
        m_thread = std::thread([this] { _loop(); });
    }
    ~EchoServers() {
        m_stop = true;
        m_thread.join();
        for (std::thread& t : m_conns) t.join();
        close(m_tcp);
        close(m_udp);
    }
    int tcpPort = 0, udpPort = 0;

private:
    void _loop() {
        while (!m_stop) {
            pollfd fds[2] = {{m_tcp, POLLIN, 0}, {m_udp, POLLIN, 0}};
            if (poll(fds, 2, 20) <= 0) continue;
            if (fds[0].revents) {
                int fd = accept(m_tcp, nullptr, nullptr);
                if (fd >= 0) m_conns.emplace_back([fd] { _echo(fd); });
            }
            if (fds[1].revents) {
                char buffer[65536];
                sockaddr_storage from{};
                socklen_t length = sizeof(from);
                ssize_t n = recvfrom(m_udp, buffer, sizeof(buffer), 0,
                                     reinterpret_cast<sockaddr*>(&from), &length);
                if (n > 0) sendto(m_udp, buffer, n, 0, reinterpret_cast<sockaddr*>(&from), length);
            }
        }
    }
    static void _echo(int fd) {
        timeval tv{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        char buffer[65536];
        ssize_t n;
        while ((n = recv(fd, buffer, sizeof(buffer), 0)) > 0) {
            if (send(fd, buffer, n, MSG_NOSIGNAL) != n) break;
        }
        close(fd);
    }
    int m_tcp, m_udp;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::vector<std::thread> m_conns;
};

// A proxy on its own thread in front of the echo servers.
class WanProxyTest : public ::testing::Test {
protected:
    void start(const char* settings) {
        wan::WanProfile profile;
        std::string error, setting;
        std::istringstream in(settings);
        while (in >> setting) ASSERT_TRUE(profile.apply(setting, &error)) << error;
        m_proxy.reset(new wan::WanProxy(profile));
        std::string local = "127.0.0.1:";
        ASSERT_TRUE(m_proxy->addTcp(local + "0", local + std::to_string(m_echo.tcpPort), &error))
            << error;
        ASSERT_TRUE(m_proxy->addUdp(local + "0", local + std::to_string(m_echo.udpPort), &error))
            << error;
        int closed = 0;
        close(boundSocket(SOCK_STREAM, &closed));  // nothing listens there any more
        ASSERT_TRUE(m_proxy->addTcp(local + "0", local + std::to_string(closed), &error)) << error;
        tcpPort = m_proxy->port(0);
        udpPort = m_proxy->port(1);
        refusedPort = m_proxy->port(2);
        m_thread = std::thread([this] { m_proxy->run(); });
    }
    void TearDown() override {
        if (m_proxy) m_proxy->stop();
        if (m_thread.joinable()) m_thread.join();
    }
    int tcpPort = 0, udpPort = 0, refusedPort = 0;

private:
    EchoServers m_echo;
    std::unique_ptr<wan::WanProxy> m_proxy;
    std::thread m_thread;
};

// Sends `bytes` of seeded noise through the echo and reads them back while
// sending; true when every byte came back in order.
bool echoIntact(int port, size_t bytes, uint32_t seed) {
    int fd = connectTo(port);
    if (fd < 0) return false;
    std::vector<char> data(bytes);
    std::mt19937 random(seed);
    for (char& c : data) c = static_cast<char>(random());
    std::vector<char> back;
    back.reserve(bytes);
    size_t sent = 0;
    Clock::time_point start = Clock::now();
    while (back.size() < bytes && msSince(start) < 10000) {
        pollfd p{fd, static_cast<short>(POLLIN | (sent < bytes ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 100) <= 0) continue;
        if ((p.revents & POLLOUT) && sent < bytes) {
            ssize_t n =
                send(fd, data.data() + sent, std::min<size_t>(65536, bytes - sent), MSG_DONTWAIT);
            if (n > 0) sent += static_cast<size_t>(n);
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[65536];
            ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN)) break;
            if (n > 0) back.insert(back.end(), buffer, buffer + n);
        }
    }
    close(fd);
    return back == data;
}

TEST_F(WanProxyTest, ConnectCostsOneRoundTripAndEveryExchangeAnother) {
    start("delay_ms=20 rate_mbit=100");
    Clock::time_point t0 = Clock::now();
    int fd = connectTo(tcpPort);
    ASSERT_GE(fd, 0);
    char ping[64];
    memset(ping, 'p', sizeof(ping));
    std::vector<double> trips;
    for (int i = 0; i < 4; ++i) {
        Clock::time_point t = Clock::now();
        ASSERT_EQ(send(fd, ping, sizeof(ping), 0), 64);
        size_t got = 0;
        char buffer[64];
        while (got < 64) {
            ssize_t n = recv(fd, buffer, 64 - got, 0);
            ASSERT_GT(n, 0);
            got += static_cast<size_t>(n);
        }
        trips.push_back(msSince(i == 0 ? t0 : t));
    }
    // The first exchange pays for the handshake too.
    EXPECT_GE(trips[0], 80.0);
    EXPECT_LT(trips[0], 110.0);
    for (int i = 1; i < 4; ++i) {
        EXPECT_GE(trips[i], 40.0);
        EXPECT_LT(trips[i], 60.0);
    }
    // A close reaches the back end and its close comes back: one round trip.
    Clock::time_point closing = Clock::now();
    shutdown(fd, SHUT_WR);
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, 0), 0);
    EXPECT_GE(msSince(closing), 40.0);
    close(fd);
}

TEST_F(WanProxyTest, StreamsShareTheRateAndArriveIntact) {
    struct Case {
        const char* settings;
        int streams;
        size_t bytesEach;
        double mbit;
    };
    const Case cases[] = {
        {"delay_ms=5 rate_mbit=20", 1, 1500000, 20},
        {"delay_ms=5 rate_mbit=40 jitter_ms=3", 3, 1000000, 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        TearDown();
        start(c.settings);
        std::vector<std::thread> threads;
        std::atomic<int> intact{0};
        Clock::time_point t0 = Clock::now();
        for (int i = 0; i < c.streams; ++i) {
            threads.emplace_back([&, i] {
                if (echoIntact(tcpPort, c.bytesEach, 7 + i)) ++intact;
            });
        }
        for (std::thread& t : threads) t.join();
        double seconds = msSince(t0) / 1000.0;
        EXPECT_EQ(intact.load(), c.streams);
        // Each direction carried every stream's bytes once; the handshake and
        // the last delay add a few round trips of 10 ms. Never faster than the
        // rate; the slack above it is for a busy shared machine.
        double ideal = c.streams * c.bytesEach * 8 / (c.mbit * 1e6);
        EXPECT_GE(seconds, ideal * 0.98);
        EXPECT_LE(seconds, ideal * 1.2 + 0.05);
    }
}

TEST_F(WanProxyTest, UdpIsDelayedAndDroppedWhenTheQueueIsFull) {
    start("delay_ms=10 rate_mbit=1 queue_ms=10");  // a 16 KiB queue: 13 datagrams
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(udpPort));
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    char payload[1200];
    memset(payload, 'u', sizeof(payload));
    Clock::time_point t0 = Clock::now();
    ASSERT_EQ(send(fd, payload, 100, 0), 100);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_GE(msSince(t0), 20.0);
    char buffer[2048];
    ASSERT_EQ(recv(fd, buffer, sizeof(buffer), 0), 100);

    for (int i = 0; i < 100; ++i) send(fd, payload, sizeof(payload), 0);
    int back = 0;
    while (poll(&p, 1, 300) == 1 && recv(fd, buffer, sizeof(buffer), 0) == 1200) ++back;
    EXPECT_GT(back, 5);
    EXPECT_LT(back, 30);
    close(fd);
}

TEST_F(WanProxyTest, RefusedTargetResetsTheClientAfterARoundTrip) {
    start("delay_ms=15 rate_mbit=100");
    Clock::time_point t0 = Clock::now();
    int fd = connectTo(refusedPort);
    ASSERT_GE(fd, 0);  // the proxy accepts at once; the refusal comes over the link
    char byte;
    ssize_t n = recv(fd, &byte, 1, 0);
    int err = errno;
    EXPECT_TRUE(n == 0 || (n < 0 && err == ECONNRESET)) << n << " " << strerror(err);
    EXPECT_GE(msSince(t0), 30.0);
    EXPECT_LT(msSince(t0), 1000.0);
    close(fd);
}

}  // namespace
