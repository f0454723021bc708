#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "net/src/channel/TcpSocketAccepter.h"
#include "net/src/channel/TcpSocketChannel.h"
#include "net/src/channel/TcpSocketConnector.h"
#include "net/src/channel/UdpSocketChannel.h"
#include "net/test/support/LoopbackSupport.h"

using namespace kx::net;
using kx::core::Binary;

namespace {

// The same channel traffic on 127.0.0.1 and on ::1.
class BothFamiliesTest : public ::testing::TestWithParam<const char*> {
protected:
    SocketAddress at(uint16_t port = 0) const { return SocketAddress(IpAddress(GetParam()), port); }
    SocketEventSelector selector{1000};
};

}  // namespace

TEST_P(BothFamiliesTest, AccepterConnectorAndTcpChannelCarryDataBothWays) {
    TcpSocketAccepter accepter(&selector, at());
    ASSERT_TRUE(accepter.localAddress().port != 0);
    EXPECT_EQ(at().ip, accepter.localAddress().ip);
    std::unique_ptr<TcpSocketChannel> server, client;
    std::string atServer, atClient;
    accepter.onAccept = [&](Socket* s) {
        EXPECT_EQ(at().ip.family(), s->peerAddress().ip.family());
        server.reset(new TcpSocketChannel(s, &selector));
        server->onReceive = [&](Binary& b) { atServer += b.toStdString(); };
        server->recv(1 << 20);
        server->send(Binary("from the server"));
    };
    TcpSocketConnector connector(&selector);
    // An unset local address binds "any" of the remote's family.
    connector.connect(
        accepter.localAddress(), SocketAddress::any(),
        [&](Socket* s) {
            ASSERT_NE(nullptr, s);
            EXPECT_EQ(accepter.localAddress(), s->peerAddress());
            client.reset(new TcpSocketChannel(s, &selector));
            client->onReceive = [&](Binary& b) { atClient += b.toStdString(); };
            client->recv(1 << 20);
            client->send(test::pattern(200000));
        },
        5000);
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return atServer.size() == 200000 && !atClient.empty(); }));
    EXPECT_EQ(test::pattern(200000).toStdString(), atServer);
    EXPECT_EQ("from the server", atClient);
}

TEST_P(BothFamiliesTest, UdpChannelReportsTheSenderAndAnswersIt) {
    Socket s(Socket::TYPE_UDP, at().ip.family());
    ASSERT_TRUE(s.bind(at()));
    UdpSocketChannel channel(&s, &selector);
    SocketAddress from;
    std::string got;
    channel.onReceive = [&](Binary& b, const SocketAddress& sender) {
        got = b.toStdString();
        from = sender;
        channel.sendTo(Binary("pong"), sender);
    };
    channel.recv(1 << 16);
    Socket peer(Socket::TYPE_UDP, at().ip.family());
    ASSERT_TRUE(peer.bind(at()));
    peer.setReceiveTimeout(1000);
    Binary ping("ping");
    ASSERT_EQ(4, peer.sendTo(ping, 0, ping.length(), channel.localAddress()));
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return !got.empty(); }));
    EXPECT_EQ("ping", got);
    EXPECT_EQ(peer.localAddress(), from);
    test::pumpFor(selector, 20);
    Binary reply;
    reply.resize(16);
    SocketAddress replier;
    ASSERT_EQ(4, peer.receiveFrom(&reply, 0, 16, &replier));
    EXPECT_EQ(channel.localAddress(), replier);
}

INSTANTIATE_TEST_SUITE_P(Loopback, BothFamiliesTest, ::testing::Values("127.0.0.1", "::1"));

TEST(BothFamiliesTest, AFamilyMismatchFailsCleanlyAndAFreshSocketCanBeReopened) {
    Socket listener = test::listenLoopback(64, test::loopback6());
    ASSERT_TRUE(listener.isValid());
    // A descriptor that has connected or bound keeps its family.
    Socket v4(Socket::TYPE_TCP);
    ASSERT_TRUE(v4.bind(test::loopback()));
    EXPECT_FALSE(v4.matchFamily(listener.localAddress().ip));
    EXPECT_FALSE(v4.connect(listener.localAddress()));
    // A fresh one is reopened for the other family and keeps its blocking mode.
    Socket fresh(Socket::TYPE_TCP);
    ASSERT_TRUE(fresh.setBlocking(false));
    ASSERT_TRUE(fresh.matchFamily(listener.localAddress().ip));
    EXPECT_EQ(IpAddress::V6, fresh.family());
    EXPECT_FALSE(fresh.isBlocking());
    fresh.setBlocking(true);
    ASSERT_TRUE(fresh.connect(listener.localAddress()));
    Socket accepted;
    ASSERT_TRUE(listener.accept(&accepted));
    EXPECT_EQ(fresh.localAddress(), accepted.peerAddress());
    EXPECT_EQ(IpAddress::V6, accepted.family());
}
