#include <gtest/gtest.h>

#include <chrono>

#include "net/src/socket/IpAddress.h"
#include "net/src/socket/Socket.h"
#include "net/src/socket/SocketAddress.h"
#include "net/test/support/LoopbackSupport.h"

using namespace kx::net;
using kx::core::Binary;
using kx::core::String;

TEST(IpAddressTest, TextRules) {
    EXPECT_EQ(0x7F000001u, IpAddress::fromText("127.0.0.1").value());
    EXPECT_EQ(0xFFFFFFFFu, IpAddress::fromText("255.255.255.255").value());
    EXPECT_TRUE(IpAddress(String(L"255.255.255.255")).isBroadcast());
    // inet_addr's failure value must not leak through as broadcast.
    EXPECT_EQ(0u, IpAddress::fromText("256.1.1.1").value());
    EXPECT_EQ(0u, IpAddress::fromText("not-an-address").value());
    EXPECT_EQ(0u, IpAddress::fromText("").value());
    EXPECT_EQ(0u, IpAddress::fromText(static_cast<const char*>(nullptr)).value());
    EXPECT_EQ(String(L"10.1.2.3"), IpAddress(0x0A010203u).toString());
    EXPECT_EQ("127.0.0.2:8080", SocketAddress(IpAddress(0x7F000002u), 8080).toStdString());
    EXPECT_EQ(String(L"0.0.0.0:0"), SocketAddress::any().toString());
}

TEST(IpAddressTest, LookupOfDottedQuadAndEmpties) {
    EXPECT_EQ(0x7F000003u, IpAddress::lookup(String(L"127.0.0.3")).value());
    EXPECT_TRUE(IpAddress::lookup(String()).isAny());
    EXPECT_TRUE(IpAddress().hostName().isEmpty());
    EXPECT_TRUE(IpAddress(0xFFFFFFFFu).hostName().isEmpty());
    EXPECT_FALSE(IpAddress::localHostName().isEmpty());
}

TEST(SocketTest, RangeChecksRefuseWithoutSystemCall) {
    test::SocketPair pair = test::connectedPair();
    ASSERT_TRUE(pair.server.isValid());
    Binary b("hello");
    EXPECT_EQ(-1, pair.client.send(b, -1, 2));
    EXPECT_EQ(-1, pair.client.send(b, 0, -1));
    EXPECT_EQ(-1, pair.client.send(b, 3, 3));
    EXPECT_EQ(-1, pair.client.send(b, 0x7FFFFFFF, 0x7FFFFFFF));
    EXPECT_EQ(5, pair.client.send(b, 0, 5));
    Binary in;
    in.resize(4);
    EXPECT_EQ(-1, pair.server.receive(&in, 2, 3));
    EXPECT_EQ(-1, pair.server.receive(nullptr, 0, 1));
    EXPECT_EQ(4, pair.server.receive(&in, 0, 4));
    EXPECT_EQ("hell", in.toStdString());
    EXPECT_EQ(pair.client.localAddress(), pair.server.peerAddress());
}

TEST(SocketTest, WritingToClosedPeerRaisesNoSignal) {
    test::SocketPair pair = test::connectedPair();
    pair.server.close();
    Binary b = test::pattern(65536);
    int failures = 0;
    for (int i = 0; i < 50 && failures == 0; ++i) failures += pair.client.send(b, 0, 65536) < 0;
    EXPECT_EQ(1, failures);  // EPIPE, and the process is still here
}

TEST(SocketTest, BlockingConnectRefusedFailsFast) {
    Socket probe = test::listenLoopback();
    SocketAddress dead = probe.localAddress();
    probe.close();
    Socket s(Socket::TYPE_TCP);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(s.connect(dead));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_TRUE(s.isBlocking());
}

TEST(SocketTest, UdpRoundTripReportsSender) {
    Socket a(Socket::TYPE_UDP), b(Socket::TYPE_UDP);
    ASSERT_TRUE(a.bind(test::loopback()));
    ASSERT_TRUE(b.bind(test::loopback(0, 0x7F000002u)));
    Binary d("ping");
    EXPECT_EQ(4, b.sendTo(d, 0, 4, a.localAddress()));
    Binary in;
    in.resize(16);
    SocketAddress from;
    ASSERT_TRUE(a.waitReady(true, false, false, 1000));
    EXPECT_EQ(4, a.receiveFrom(&in, 0, 16, &from));
    EXPECT_EQ(b.localAddress(), from);
    EXPECT_EQ(0x7F000002u, from.ip.value());
}
