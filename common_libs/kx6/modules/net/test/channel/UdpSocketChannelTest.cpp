#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/src/time/Clock.h"
#include "net/src/channel/UdpSocketChannel.h"
#include "net/test/support/LoopbackSupport.h"

using namespace kx::net;
using kx::core::Binary;
using kx::core::Clock;

namespace {

class UdpSocketChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        Clock::resetForTests();
        Socket s(Socket::TYPE_UDP);
        ASSERT_TRUE(s.bind(test::loopback()));
        channel.reset(new UdpSocketChannel(&s, &selector));
        channel->onReceive = [this](Binary& b, const SocketAddress& from) {
            received.push_back(b.toStdString());
            senders.push_back(from);
        };
        channel->onSent = [this](int n, const SocketAddress&) { sent.push_back(n); };
        channel->onClosed = [this] { ++closed; };
        ASSERT_TRUE(peer.bind(test::loopback(0, 0x7F000002u)));
        peer.setReceiveTimeout(1000);
    }
    void TearDown() override { Clock::resetForTests(); }

    SocketEventSelector selector{1000};
    std::unique_ptr<UdpSocketChannel> channel;
    Socket peer{Socket::TYPE_UDP};
    std::vector<std::string> received;
    std::vector<SocketAddress> senders;
    std::vector<int> sent;
    int closed = 0;
};

}  // namespace

TEST_F(UdpSocketChannelTest, ReceivesWithinCreditAndReportsSender) {
    Binary d("datagram");
    peer.sendTo(d, 0, d.length(), channel->localAddress());
    test::pumpFor(selector, 30);
    EXPECT_TRUE(received.empty());  // no credit yet
    channel->recv(1);
    // Credit is counted in bytes but a datagram is never cut: it may go negative.
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return !received.empty(); }));
    EXPECT_EQ("datagram", received[0]);
    EXPECT_EQ(peer.localAddress(), senders[0]);
    EXPECT_EQ(-7, channel->receiveCredit());
}

TEST_F(UdpSocketChannelTest, EmptyDatagramDoesNotCloseTheSocket) {
    channel->recv(1000);
    Binary empty, d("after");
    peer.sendTo(empty, 0, 0, channel->localAddress());
    peer.sendTo(d, 0, d.length(), channel->localAddress());
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return !received.empty(); }));
    EXPECT_EQ(std::vector<std::string>{"after"}, received);
    EXPECT_EQ(0, closed);
    EXPECT_TRUE(channel->isOpen());
}

TEST_F(UdpSocketChannelTest, QueuedDatagramsGoOutWholeThenGracefulCloseEnds) {
    ASSERT_TRUE(channel->sendTo(Binary("one"), peer.localAddress()));
    ASSERT_TRUE(channel->sendTo(test::pattern(60000), peer.localAddress()));
    channel->closeGracefully();
    EXPECT_FALSE(channel->sendTo(Binary("late"), peer.localAddress()));
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return closed > 0; }));
    EXPECT_EQ((std::vector<int>{3, 60000}), sent);
    Binary in;
    in.resize(65536);
    EXPECT_EQ(3, peer.receiveFrom(&in, 0, 65536, nullptr));
    EXPECT_EQ(60000, peer.receiveFrom(&in, 0, 65536, nullptr));
    EXPECT_EQ(1, closed);
}

TEST_F(UdpSocketChannelTest, IdleTimerOnlyWhenStarted) {
    Clock::freeze(3000000);
    channel->recv(100);
    Clock::advance(1000000);
    selector.select(0);
    EXPECT_EQ(0, closed);
    int timeouts = 0;
    channel->onTimeout = [&] { ++timeouts; };
    channel->idleTimer().start(120000);
    Clock::advance(120001);
    selector.select(0);
    EXPECT_EQ(1, timeouts);
    EXPECT_EQ(1, closed);
}
