#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/src/time/Clock.h"
#include "net/src/channel/TcpSocketAccepter.h"
#include "net/src/channel/TcpSocketConnector.h"
#include "net/test/support/LoopbackSupport.h"

using namespace kx::net;
using kx::core::Clock;

namespace {

class ConnectorTest : public ::testing::Test {
protected:
    void SetUp() override { Clock::resetForTests(); }
    void TearDown() override { Clock::resetForTests(); }

    TcpSocketConnector::Callback record() {
        return [this](Socket* s) {
            ++calls;
            if (s) {
                connected.swap(*s);
            }
        };
    }

    SocketEventSelector selector{1000};
    Socket connected;
    int calls = 0;
};

}  // namespace

TEST_F(ConnectorTest, ConnectsAndHandsOverTheSocket) {
    Socket listener = test::listenLoopback();
    TcpSocketConnector connector(&selector);
    connector.connect(listener.localAddress(), record(), 5000);
    EXPECT_TRUE(connector.isConnecting());
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return calls > 0; }));
    EXPECT_EQ(1, calls);
    ASSERT_TRUE(connected.isValid());
    EXPECT_EQ(listener.localAddress(), connected.peerAddress());
    EXPECT_FALSE(connector.isConnecting());
    EXPECT_FALSE(selector.hasEventHandler(connected.handle()));
}

TEST_F(ConnectorTest, RefusedConnectionGivesNull) {
    Socket probe = test::listenLoopback();
    SocketAddress dead = probe.localAddress();
    probe.close();
    TcpSocketConnector connector(&selector);
    connector.connect(dead, record(), 5000);
    ASSERT_TRUE(test::pumpUntil(
        selector, [&] { return calls > 0; }, 2000));
    EXPECT_EQ(1, calls);
    EXPECT_FALSE(connected.isValid());
    EXPECT_EQ(0, selector.handlerCount());
}

TEST_F(ConnectorTest, UnansweredConnectTimesOutOnTheTestClock) {
    // A listener whose accept queue is full drops further SYNs: the connect
    // stays pending without leaving loopback.
    Socket listener = test::listenLoopback(0);
    std::vector<Socket> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.emplace_back(Socket::TYPE_TCP);
        fillers.back().setBlocking(false);
        fillers.back().connect(listener.localAddress());
    }
    test::pumpFor(selector, 50);
    Clock::freeze(7000000);
    TcpSocketConnector connector(&selector);
    connector.connect(listener.localAddress(), record(), 5000);
    for (int i = 0; i < 20; ++i) selector.select(5);
    ASSERT_EQ(0, calls) << "the SYN was answered; the backlog trick does not hold here";
    Clock::advance(4000);
    selector.select(0);
    EXPECT_EQ(0, calls);
    Clock::advance(1001);
    selector.select(0);
    EXPECT_EQ(1, calls);
    EXPECT_FALSE(connected.isValid());
    EXPECT_FALSE(connector.isConnecting());
}

TEST_F(ConnectorTest, SecondConnectWhilePendingGetsNullAtOnce) {
    Socket listener = test::listenLoopback();
    TcpSocketConnector connector(&selector);
    connector.connect(listener.localAddress(), record(), 5000);
    int second = 0;
    Socket* secondSocket = reinterpret_cast<Socket*>(1);
    connector.connect(
        listener.localAddress(),
        [&](Socket* s) {
            ++second;
            secondSocket = s;
        },
        5000);
    EXPECT_EQ(1, second);
    EXPECT_EQ(nullptr, secondSocket);
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return calls > 0; }));
    EXPECT_TRUE(connected.isValid());
}

TEST_F(ConnectorTest, CancelGivesNullAtTheNextRound) {
    Socket listener = test::listenLoopback(0);
    TcpSocketConnector connector(&selector);
    connector.connect(listener.localAddress(), record(), 5000);
    connector.cancel();
    ASSERT_TRUE(test::pumpUntil(
        selector, [&] { return calls > 0; }, 2000));
    EXPECT_FALSE(connected.isValid());
}

TEST_F(ConnectorTest, CallbackMayStartTheNextAttemptOrDeleteTheConnector) {
    Socket probe = test::listenLoopback();
    SocketAddress dead = probe.localAddress();
    probe.close();
    Socket listener = test::listenLoopback();
    auto connector = std::make_unique<TcpSocketConnector>(&selector);
    connector->connect(
        dead,
        [&](Socket* s) {
            ASSERT_EQ(nullptr, s);
            connector->connect(
                listener.localAddress(),
                [&](Socket* s2) {
                    ASSERT_NE(nullptr, s2);
                    connected.swap(*s2);
                    connector.reset();
                },
                5000);
        },
        5000);
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return !connector; }));
    EXPECT_TRUE(connected.isValid());
    EXPECT_EQ(0, selector.handlerCount());
}

TEST(AccepterTest, AcceptsAndClosesWhatTheCalleeLeaves) {
    SocketEventSelector selector(1000);
    TcpSocketAccepter accepter(&selector, test::loopback());
    ASSERT_TRUE(accepter.isValid());
    EXPECT_EQ(0x7F000001u, accepter.localAddress().ip.value());
    std::vector<Socket> kept;
    int seen = 0;
    accepter.onAccept = [&](Socket* s) {
        if (seen++ == 0) kept.emplace_back(std::move(*s));  // the second is left
    };
    Socket a(Socket::TYPE_TCP), b(Socket::TYPE_TCP);
    ASSERT_TRUE(a.connect(accepter.localAddress()));
    ASSERT_TRUE(b.connect(accepter.localAddress()));
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return seen == 2; }));
    ASSERT_EQ(1u, kept.size());
    EXPECT_FALSE(kept[0].isBlocking());
    char c;
    b.setReceiveTimeout(1000);
    EXPECT_EQ(0, b.receive(&c, 1));  // closed by the accepter

    TcpSocketAccepter clash(&selector, accepter.localAddress());
    EXPECT_FALSE(clash.isValid());
}

TEST_F(ConnectorTest, DestroyedWhilePendingNeverCallsBack) {
    Socket listener = test::listenLoopback();
    {
        TcpSocketConnector connector(&selector);
        connector.connect(listener.localAddress(), record(), 5000);
        EXPECT_EQ(1, selector.handlerCount());
    }
    EXPECT_EQ(0, selector.handlerCount());
    test::pumpFor(selector, 20);
    EXPECT_EQ(0, calls);
}
