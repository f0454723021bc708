#include <gtest/gtest.h>

#include <errno.h>

#include <memory>
#include <string>
#include <vector>

#include "core/src/time/Clock.h"
#include "net/test/support/LoopbackSupport.h"
#include "tunnel_client/forward/tcp_channel/TcpChannel.h"
#include "tunnel_client/forward/tcp_channel/TcpChannelServer.h"

using namespace kx::net;
using kx::core::Binary;
using kx::core::Clock;

namespace {

class TcpChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        Clock::resetForTests();
        pair = test::connectedPair();
        channel = std::make_unique<TcpChannel>(&pair.server, &selector);
        channel->onSent = [this](int n) { sent.push_back(n); };
        channel->onReceive = [this](Binary& b) { received += b.toStdString(); };
        channel->onClosed = [this] { ++closed; };
        pair.client.setBlocking(false);
    }
    void TearDown() override { Clock::resetForTests(); }

    std::string drainPeer() {
        std::string out;
        char buf[4096];
        int n;
        while ((n = pair.client.receive(buf, sizeof(buf))) > 0) out.append(buf, size_t(n));
        return out;
    }

    SocketEventSelector selector{1000};
    test::SocketPair pair;
    std::unique_ptr<TcpChannel> channel;
    std::vector<int> sent;
    std::string received;
    int closed = 0;
};

}  // namespace

TEST_F(TcpChannelTest, SentIsReportedPerMessageNeverMerged) {
    channel->send(test::pattern(100));
    channel->send(test::pattern(50, 1));
    EXPECT_EQ(2, channel->pendingMessages());
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return sent.size() >= 2; }));
    EXPECT_EQ((std::vector<int>{100, 50}), sent);
    EXPECT_EQ(0, channel->pendingMessages());
    EXPECT_EQ(150u, drainPeer().size());
}

TEST_F(TcpChannelTest, LargeMessagesMaySplitButNeverCrossABoundary) {
    // A peer that does not read makes the kernel take partial writes.
    const int big = 4 << 20;
    channel->send(test::pattern(big));
    channel->send(test::pattern(10, 2));
    std::string peer;
    ASSERT_TRUE(test::pumpUntil(selector, [&] {
        peer += drainPeer();
        return peer.size() == size_t(big) + 10;
    }));
    long sum = 0;
    size_t i = 0;
    for (; i < sent.size() && sum < big; ++i) sum += sent[i];
    EXPECT_EQ(big, sum);  // the first message's reports add up exactly
    ASSERT_EQ(i + 1, sent.size());
    EXPECT_EQ(10, sent.back());
}

TEST_F(TcpChannelTest, ZeroCreditMeansNoRead) {
    Binary d("waiting");
    pair.client.send(d, 0, d.length());
    test::pumpFor(selector, 50);
    EXPECT_TRUE(received.empty());
    channel->recv(3);
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return received.size() == 3; }));
    test::pumpFor(selector, 20);
    EXPECT_EQ("wai", received);
}

TEST_F(TcpChannelTest, ClosingChannelWritesItsLastBytesThenCloses) {
    channel->send(test::pattern(10));
    channel->closeGracefully();
    EXPECT_EQ(TcpChannel::STATE_CLOSING, channel->state());
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return closed > 0; }));
    EXPECT_EQ(std::vector<int>{10}, sent);
    pair.client.setBlocking(true);
    EXPECT_EQ(test::pattern(10).toStdString(), test::readUpTo(pair.client, 100));
    EXPECT_EQ(1, closed);
}

TEST_F(TcpChannelTest, IdleChannelTimesOutFirst) {
    Clock::freeze(9000000);
    channel->idleTimer().start(900000);
    std::vector<std::string> order;
    channel->onTimeout = [&] { order.push_back("timeout"); };
    channel->onClosed = [&] { order.push_back("closed"); };
    Clock::advance(900001);
    selector.select(0);
    EXPECT_EQ((std::vector<std::string>{"timeout", "closed"}), order);
}

TEST_F(TcpChannelTest, EmptyMessageIsIgnored) {
    EXPECT_TRUE(channel->send(Binary()));
    channel->send(Binary("x"));
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return !sent.empty(); }));
    EXPECT_EQ(std::vector<int>{1}, sent);
}

namespace {

class TcpChannelServerTest : public ::testing::Test {
protected:
    void SetUp() override { Clock::resetForTests(); }
    void TearDown() override { Clock::resetForTests(); }

    SocketEventSelector selector{1000};
};

}  // namespace

TEST_F(TcpChannelServerTest, CapsLiveChannelsAndClosesTheRest) {
    TcpChannelServer server(&selector, test::loopback(), 1024);
    ASSERT_TRUE(server.isValid());
    int made = 0;
    server.factory = [&](Socket* s, SocketEventSelector* sel) {
        ++made;
        return std::unique_ptr<TcpChannel>(new TcpChannel(s, sel));
    };
    std::vector<Socket> clients;
    for (int i = 0; i < 1025; ++i) {
        clients.emplace_back(Socket::TYPE_TCP);
        clients.back().setBlocking(false);
        clients.back().connect(server.localAddress());
        if (i % 32 == 31) selector.select(0);
    }
    ASSERT_TRUE(test::pumpUntil(
        selector, [&] { return server.channelCount() == 1024 && made == 1024; }, 10000));
    test::pumpFor(selector, 50);
    EXPECT_EQ(1024, server.channelCount());
    EXPECT_EQ(1024, made);

    // Exactly one client was accepted and closed at once.
    int ended = 0;
    for (Socket& c : clients) {
        char byte;
        c.waitReady(true, false, false, 0);
        ended += c.receive(&byte, 1) == 0 ? 1 : 0;
    }
    EXPECT_EQ(1, ended);
}

TEST_F(TcpChannelServerTest, TickSweepsDeadChannelsAndCloseDeletesAll) {
    Clock::freeze(4000000);
    TcpChannelServer server(&selector, test::loopback(), 8);
    int destroyed = 0;
    struct Counted : TcpChannel {
        int* count;
        Counted(Socket* s, SocketEventSelector* sel, int* c) : TcpChannel(s, sel), count(c) {}
        ~Counted() override { ++*count; }
    };
    server.factory = [&](Socket* s, SocketEventSelector* sel) {
        std::unique_ptr<TcpChannel> c(new Counted(s, sel, &destroyed));
        c->recv(10);
        return c;
    };
    std::vector<Socket> clients(3);
    for (Socket& c : clients) {
        c = Socket(Socket::TYPE_TCP);
        ASSERT_TRUE(c.connect(server.localAddress()));
    }
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return server.channelCount() == 3; }));
    clients[1].close();
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return server.liveChannelCount() == 2; }));
    EXPECT_EQ(3, server.channelCount());  // dead, but kept until the tick
    EXPECT_EQ(0, destroyed);
    Clock::advance(1000);
    selector.select(0);
    EXPECT_EQ(2, server.channelCount());
    EXPECT_EQ(1, destroyed);

    server.close();
    EXPECT_EQ(0, server.channelCount());
    EXPECT_EQ(3, destroyed);
    EXPECT_TRUE(server.isValid());  // still listening
    EXPECT_EQ(1, selector.handlerCount());
}
