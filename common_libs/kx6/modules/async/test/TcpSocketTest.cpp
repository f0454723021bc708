#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "async/src/SocketReactor.h"
#include "async/src/TcpSocket.h"
#include "async/test/support/Pump.h"
#include "core/src/time/Clock.h"
#include "net/src/socket/Socket.h"

using kx::async::SocketReactor;
using kx::async::TcpSocket;
using kx::core::Binary;
using kx::net::IpAddress;
using kx::net::SocketAddress;
using kx::testing::pumpUntil;

namespace {

// A listener plus one accepted connection, both on the reactor.
struct Pair {
    explicit Pair(SocketReactor* reactor) : listener(reactor), client(reactor) {}
    TcpSocket listener;
    TcpSocket client;
    std::unique_ptr<TcpSocket> server;

    bool open(SocketReactor& reactor, const char* ip = "127.0.0.1") {
        if (!listener.bind(SocketAddress(IpAddress(ip), 0)) || !listener.listen()) {
            return false;
        }
        bool connected = false;
        listener.accept(
            [&](TcpSocket& s) {
                if (s.isValid()) server.reset(new TcpSocket(std::move(s)));
            },
            2000);
        client.connect(
            listener.localAddress(), [&](bool ok) { connected = ok; }, 2000);
        return pumpUntil(reactor, [&]() { return connected && server && reactor.idle(); });
    }
};

Binary pattern(int n) {
    Binary b;
    b.resize(n);
    for (int i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 1);
    return b;
}

}  // namespace

TEST(SocketReactor, WaitWithZeroTimeoutFailsAtNextStepAndRefusalsLeaveTheWaiterAlone) {
    SocketReactor reactor(10);
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    std::vector<std::string> trace;
    reactor.waitReadable(
        fds[0], [&](bool ok) { trace.push_back(ok ? "zero:1" : "zero:0"); }, 0);
    reactor.waitReadable(
        fds[0], [&](bool ok) { trace.push_back(ok ? "first:1" : "first:0"); }, -1);
    EXPECT_FALSE(reactor.isReadFree(fds[0]));
    reactor.waitReadable(
        fds[0], [&](bool ok) { trace.push_back(ok ? "dup:1" : "dup:0"); }, -1);
    reactor.waitReadable(
        -1, [&](bool ok) { trace.push_back(ok ? "bad:1" : "bad:0"); }, -1);
    EXPECT_TRUE(trace.empty());
    reactor.runOnce(0);
    EXPECT_EQ((std::vector<std::string>{"zero:0", "dup:0", "bad:0"}), trace);

    trace.clear();
    ASSERT_EQ(1, write(fds[1], "x", 1));
    pumpUntil(
        reactor, [&]() { return !trace.empty(); }, 2000);
    EXPECT_EQ((std::vector<std::string>{"first:1"}), trace);
    EXPECT_TRUE(reactor.isReadFree(fds[0]));

    trace.clear();
    reactor.waitWritable(
        fds[0], [&](bool ok) { trace.push_back(ok ? "w:1" : "w:0"); }, -1);
    reactor.cancelWait(fds[0], SocketReactor::SLOT_WRITE);
    reactor.runOnce(0);
    EXPECT_EQ((std::vector<std::string>{"w:0"}), trace);
    EXPECT_TRUE(reactor.idle());
    close(fds[0]);
    close(fds[1]);
}

TEST(SocketReactor, WaiterTimesOutOnTheTestClock) {
    kx::core::Clock::resetForTests();
    SocketReactor reactor(10);
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    int result = -1;
    reactor.waitReadable(
        fds[0], [&](bool ok) { result = ok; }, 30000);
    reactor.runOnce(0);
    EXPECT_EQ(-1, result);
    kx::core::Clock::advance(30001);
    pumpUntil(
        reactor, [&]() { return result != -1; }, 1000);
    EXPECT_EQ(0, result);
    kx::core::Clock::resetForTests();
    close(fds[0]);
    close(fds[1]);
}

TEST(TcpSocket, RecvOfHundredFromThousandWaitingLeavesTheRestForTheNextRecv) {
    SocketReactor reactor(10);
    Pair pair(&reactor);
    ASSERT_TRUE(pair.open(reactor));
    Binary data = pattern(1000);
    bool sent = false;
    pair.client.send(
        data, [&](bool ok) { sent = ok; }, 2000);
    ASSERT_TRUE(pumpUntil(reactor, [&]() { return sent; }));

    Binary got;
    bool done = false;
    pair.server->recv(
        100,
        [&](Binary& b) {
            got = b;
            done = true;
        },
        2000);
    ASSERT_TRUE(pumpUntil(reactor, [&]() { return done; }));
    ASSERT_EQ(100, got.length());
    EXPECT_EQ(Binary(data.data(), 100), got);

    done = false;
    pair.server->recv(
        5000,
        [&](Binary& b) {
            got = b;
            done = true;
        },
        2000);
    ASSERT_TRUE(pumpUntil(reactor, [&]() { return done; }));
    EXPECT_EQ(Binary(data.data() + 100, 900), got);
}

TEST(TcpSocket, OverIpv6LoopbackBothEndsReopenForTheFamilyAndCarryDataBothWays) {
    SocketReactor reactor(10);
    Pair pair(&reactor);
    ASSERT_TRUE(pair.open(reactor, "::1"));
    EXPECT_EQ(IpAddress("::1"), pair.server->peerAddress().ip);
    EXPECT_EQ(pair.listener.localAddress(), pair.client.peerAddress());
    Binary data = pattern(300000), reply = pattern(77);
    int sent = 0;
    pair.client.send(
        data, [&](bool ok) { sent += ok; }, 2000);
    pair.server->send(
        reply, [&](bool ok) { sent += ok; }, 2000);
    Binary atServer, atClient;
    std::function<void(Binary&)> more = [&](Binary& b) {
        atServer.append(b.data(), b.length());
        if (atServer.length() < data.length() && b.length() > 0) pair.server->recv(65536, more, 2000);
    };
    pair.server->recv(65536, more, 2000);
    pair.client.recv(
        1000, [&](Binary& b) { atClient = b; }, 2000);
    ASSERT_TRUE(pumpUntil(reactor, [&]() {
        return sent == 2 && atServer.length() == data.length() && atClient.length() == reply.length();
    }));
    EXPECT_EQ(data, atServer);
    EXPECT_EQ(reply, atClient);
}

TEST(TcpSocket, CompletionsNeverRunInsideTheCallAndASecondRecvFailsThroughTheQueue) {
    SocketReactor reactor(10);
    Pair pair(&reactor);
    ASSERT_TRUE(pair.open(reactor));
    int first = -1, second = -1;
    pair.server->recv(
        10, [&](Binary& b) { first = b.length(); }, -1);
    pair.server->recv(
        10, [&](Binary& b) { second = b.length(); }, -1);
    EXPECT_EQ(-1, second);  // refused, but not synchronously
    reactor.runOnce(0);
    EXPECT_EQ(0, second);
    EXPECT_EQ(-1, first);  // still waiting for data

    // A completion may start the next operation on the same socket.
    Binary hello("hello");
    bool echoed = false;
    pair.client.send(
        hello,
        [&](bool ok) {
            ASSERT_TRUE(ok);
            pair.client.recv(
                10, [&](Binary& b) { echoed = b == Binary("olleh"); }, 2000);
        },
        2000);
    ASSERT_TRUE(pumpUntil(reactor, [&]() { return first == 5; }));
    bool replied = false;
    pair.server->send(
        Binary("olleh"), [&](bool ok) { replied = ok; }, 2000);
    ASSERT_TRUE(pumpUntil(reactor, [&]() { return replied && echoed; }));
}

TEST(TcpSocket, LargeSendArrivesWholeAndShutdownGivesThePeerAnOrderlyEnd) {
    SocketReactor reactor(10);
    Pair pair(&reactor);
    ASSERT_TRUE(pair.open(reactor));
    Binary data = pattern(3 * 1024 * 1024);
    int sendResult = -1;
    pair.client.send(
        data, [&](bool ok) { sendResult = ok; }, 10000);

    Binary received;
    bool eof = false;
    std::function<void()> readMore = [&]() {
        pair.server->recv(
            100000,
            [&](Binary& b) {
                if (b.isEmpty()) {
                    eof = true;
                    return;
                }
                received.append(b);
                readMore();
            },
            10000);
    };
    readMore();
    bool closed = false;
    pair.client.shutdown([&]() { closed = true; });  // the pending send may finish first
    ASSERT_TRUE(pumpUntil(
        reactor, [&]() { return eof && closed; }, 20000));
    EXPECT_EQ(1, sendResult);
    EXPECT_EQ(data.length(), received.length());
    EXPECT_TRUE(data == received);
    EXPECT_FALSE(pair.client.isValid());
    EXPECT_TRUE(pair.client.idle());
}

TEST(TcpSocket, DisconnectCancelsPendingWorkBeforeTheCloseCallback) {
    SocketReactor reactor(10);
    Pair pair(&reactor);
    ASSERT_TRUE(pair.open(reactor));
    std::string trace;
    pair.server->recv(
        10, [&](Binary& b) { trace += b.isEmpty() ? "recv-empty," : "recv-data,"; }, -1);
    pair.server->disconnect([&]() { trace += "closed"; });
    EXPECT_EQ("", trace);
    ASSERT_TRUE(pumpUntil(reactor, [&]() { return trace.find("closed") != std::string::npos; }));
    EXPECT_EQ("recv-empty,closed", trace);

    // The peer sees the connection end (reset or end of stream).
    bool ended = false;
    pair.client.recv(
        10, [&](Binary& b) { ended = b.isEmpty(); }, 2000);
    ASSERT_TRUE(pumpUntil(reactor, [&]() { return ended; }));

    // Nothing can start on a closed socket; the refusal still arrives later.
    int refused = -1;
    pair.server->send(
        Binary("x"), [&](bool ok) { refused = ok; }, 100);
    reactor.runOnce(0);
    EXPECT_EQ(0, refused);
}

TEST(TcpSocket, ConnectToAPortWhereNothingListensFails) {
    SocketReactor reactor(10);
    // Find a free port by binding and closing a listener.
    uint16_t port;
    {
        kx::net::Socket probe(kx::net::Socket::TYPE_TCP);
        ASSERT_TRUE(probe.bind(SocketAddress(IpAddress("127.0.0.1"), 0)));
        port = probe.localAddress().port;
    }
    TcpSocket socket(&reactor);
    int result = -1;
    socket.connect(
        SocketAddress(IpAddress("127.0.0.1"), port), [&](bool ok) { result = ok; }, -1);
    EXPECT_EQ(-1, result);
    ASSERT_TRUE(pumpUntil(reactor, [&]() { return result != -1; }));
    EXPECT_EQ(0, result);
    ASSERT_TRUE(pumpUntil(reactor, [&]() { return reactor.idle(); }));
}

TEST(TcpSocket, RecvTimesOutWithAnEmptyBinary) {
    SocketReactor reactor(10);
    Pair pair(&reactor);
    ASSERT_TRUE(pair.open(reactor));
    int got = -1;
    pair.server->recv(
        10, [&](Binary& b) { got = b.length(); }, 50);
    ASSERT_TRUE(pumpUntil(
        reactor, [&]() { return got != -1; }, 2000));
    EXPECT_EQ(0, got);
}

TEST(TcpSocket, ConnectWithoutALimitGivesUpAfterTenSecondsOfTheTestClock) {
    kx::core::Clock::resetForTests();
    SocketReactor reactor(10);
    // A listener whose accept queue is full drops further SYNs: the next
    // connect stays in progress.
    kx::net::Socket listener(kx::net::Socket::TYPE_TCP);
    ASSERT_TRUE(listener.bind(SocketAddress(IpAddress("127.0.0.1"), 0)));
    ASSERT_TRUE(listener.listen(0));
    SocketAddress target = listener.localAddress();
    std::vector<std::unique_ptr<TcpSocket>> fillers;
    int result = -1;
    for (int i = 0; i < 4 && result != 0; ++i) {
        fillers.emplace_back(new TcpSocket(&reactor));
        result = -1;
        fillers.back()->connect(
            target, [&](bool ok) { result = ok; }, -1);
        pumpUntil(
            reactor, [&]() { return result != -1; }, 300);
        if (result == -1) break;  // this one hangs
    }
    if (result != -1) GTEST_SKIP() << "the kernel accepted every connection";
    kx::core::Clock::advance(TcpSocket::CONNECT_TIMEOUT_MS + 1);
    ASSERT_TRUE(pumpUntil(
        reactor, [&]() { return result != -1; }, 1000));
    EXPECT_EQ(0, result);
    kx::core::Clock::resetForTests();
}
