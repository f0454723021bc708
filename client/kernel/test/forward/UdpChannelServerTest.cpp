#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/src/time/Clock.h"
#include "net/test/support/LoopbackSupport.h"
#include "tunnel_client/forward/udp_channel/UdpChannelServer.h"

using namespace kx::net;
using kx::core::Binary;
using kx::core::Clock;
using tunnel::UdpChannel;
using tunnel::UdpChannelServer;

namespace {

class UdpChannelServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Clock::resetForTests();
        server = std::make_unique<UdpChannelServer>(&selector, test::loopback(), 1024);
        ASSERT_TRUE(server->isValid());
        server->factory = [this](UdpSocketChannel* main, const SocketAddress& peer) {
            if (refuse) return std::unique_ptr<UdpChannel>();
            std::unique_ptr<UdpChannel> c(new UdpChannel(main, peer));
            c->recv(credit);
            c->onReceive = [this, peer](Binary& b) {
                got[peer.toStdString()].push_back(b.toStdString());
            };
            return c;
        };
    }
    void TearDown() override { Clock::resetForTests(); }

    Socket peerSocket(uint32_t ip = 0x7F000001u) {
        Socket s(Socket::TYPE_UDP);
        s.bind(test::loopback(0, ip));
        return s;
    }
    void sendFrom(Socket& s, const std::string& text) {
        Binary d(text.data(), int(text.size()));
        s.sendTo(d, 0, d.length(), server->localAddress());
    }

    SocketEventSelector selector{1000};
    std::unique_ptr<UdpChannelServer> server;
    std::map<std::string, std::vector<std::string>> got;
    int credit = 65536;
    bool refuse = false;
};

}  // namespace

TEST_F(UdpChannelServerTest, PeersAreSplitByAddressAndPort) {
    Socket a = peerSocket(), b = peerSocket(), c = peerSocket(0x7F000002u);
    sendFrom(a, "a1");
    sendFrom(b, "b1");
    sendFrom(c, "c1");
    sendFrom(a, "a2");
    ASSERT_TRUE(test::pumpUntil(selector, [&] {
        return server->channelCount() == 3 && got.size() == 3 &&
               got[a.localAddress().toStdString()].size() == 2;
    }));
    EXPECT_EQ((std::vector<std::string>{"a1", "a2"}), got[a.localAddress().toStdString()]);
    EXPECT_EQ(std::vector<std::string>{"b1"}, got[b.localAddress().toStdString()]);
    EXPECT_EQ(std::vector<std::string>{"c1"}, got[c.localAddress().toStdString()]);
    EXPECT_EQ(65536, server->mainChannel()->receiveCredit());
}

TEST_F(UdpChannelServerTest, RepliesReachThePeerAndReportSent) {
    Socket a = peerSocket();
    sendFrom(a, "hi");
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return server->channelCount() == 1; }));
    UdpChannel* ch = server->channel(a.localAddress());
    ASSERT_NE(nullptr, ch);
    int reported = 0;
    ch->onSent = [&](int n) { reported += n; };
    ch->send(Binary("reply"));
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return reported == 5; }));
    Binary in;
    in.resize(100);
    a.setReceiveTimeout(1000);
    EXPECT_EQ(5, a.receive(&in, 0, 100));
}

TEST_F(UdpChannelServerTest, PeerBeyondTheCapIsDropped) {
    std::vector<Socket> peers;
    for (int i = 0; i < 1025; ++i) peers.push_back(peerSocket());
    for (int i = 0; i < 1024; ++i) {
        sendFrom(peers[size_t(i)], "x");
        if (i % 64 == 63) selector.select(0);
    }
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return server->channelCount() == 1024; }));
    sendFrom(peers[1024], "late");
    test::pumpFor(selector, 50);
    EXPECT_EQ(1024, server->channelCount());
    EXPECT_EQ(nullptr, server->channel(peers[1024].localAddress()));
    EXPECT_EQ(0u, got.count(peers[1024].localAddress().toStdString()));
}

TEST_F(UdpChannelServerTest, DatagramsBeyondTheCreditWaitInOrderUntilStale) {
    credit = 10;
    Clock::freeze(5000);
    Socket a = peerSocket();
    const std::string peer = a.localAddress().toStdString();
    sendFrom(a, "12345678");  // 8: fits
    sendFrom(a, "too long");  // 8 more: only 2 left, waits
    sendFrom(a, "ok");        // 2 would fit, but waits behind it
    ASSERT_TRUE(test::pumpUntil(selector, [&] {
        UdpChannel* c = server->channel(a.localAddress());
        return c && c->waitingBytes() == 10;
    }));
    UdpChannel* c = server->channel(a.localAddress());
    EXPECT_EQ((std::vector<std::string>{"12345678"}), got[peer]);
    c->recv(6);  // 8: the first waiting one, not yet the next
    EXPECT_EQ((std::vector<std::string>{"12345678", "too long"}), got[peer]);
    EXPECT_EQ(2, c->waitingBytes());
    c->recv(2);
    EXPECT_EQ((std::vector<std::string>{"12345678", "too long", "ok"}), got[peer]);
    EXPECT_EQ(0, c->receiveCredit());

    // One that waits longer than the queue keeps datagrams is given up.
    sendFrom(a, "late");
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return c->waitingBytes() == 4; }));
    Clock::freeze(5000 + tunnel::DatagramQueue::DEFAULT_MAX_AGE_MS + 1);
    c->recv(4);
    EXPECT_EQ(3u, got[peer].size());
    EXPECT_EQ(1, c->droppedDatagrams());
    EXPECT_EQ(4, c->receiveCredit());
}

TEST_F(UdpChannelServerTest, DeclinedPeerGetsNoChannel) {
    refuse = true;
    Socket a = peerSocket();
    sendFrom(a, "x");
    test::pumpFor(selector, 30);
    EXPECT_EQ(0, server->channelCount());
    refuse = false;
    sendFrom(a, "y");
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return server->channelCount() == 1; }));
    EXPECT_EQ(std::vector<std::string>{"y"}, got[a.localAddress().toStdString()]);
}

TEST_F(UdpChannelServerTest, SweepTimesOutIdlePeersAndDeletesClosedOnes) {
    Clock::freeze(6000000);
    Socket a = peerSocket(), b = peerSocket();
    sendFrom(a, "a");
    sendFrom(b, "b");
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return server->channelCount() == 2; }));
    UdpChannel* ca = server->channel(a.localAddress());
    UdpChannel* cb = server->channel(b.localAddress());
    std::vector<std::string> events;
    ca->idleTimer().start(120000);
    ca->onTimeout = [&] { events.push_back("timeout"); };
    ca->onClosed = [&] { events.push_back("closed"); };
    cb->abort();
    Clock::advance(1000);
    selector.select(0);
    EXPECT_EQ(1, server->channelCount());  // the aborted one
    EXPECT_TRUE(events.empty());
    Clock::advance(120000);
    selector.select(0);
    EXPECT_EQ((std::vector<std::string>{"timeout", "closed"}), events);
    EXPECT_EQ(0, server->channelCount());
    // The same peer later gets a fresh channel.
    sendFrom(a, "again");
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return server->channelCount() == 1; }));
}

TEST_F(UdpChannelServerTest, BindFailureLeavesServerInvalid) {
    Socket holder(Socket::TYPE_UDP);  // no address reuse: the port is taken
    ASSERT_TRUE(holder.bind(test::loopback()));
    UdpChannelServer clash(&selector, holder.localAddress(), 4);
    EXPECT_FALSE(clash.isValid());
    EXPECT_TRUE(clash.localAddress().isAny());
}
