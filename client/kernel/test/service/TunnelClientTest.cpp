#include <gtest/gtest.h>

#include <string>

#include "downstream/FakeUpstream.h"
#include "forward_tunnel/ForwardTestSupport.h"
#include "service/TunnelClientFixture.h"
#include "tunnel_client/TunnelClient.h"
#include "tunnel_client/client/TunnelDataClient.h"
#include "tunnel_client/forward/TcpForward.h"
#include "tunnel_client/forward/TcpForwardManager.h"
#include "tunnel_client/node/AddressMask.h"
#include "tunnel_client/service/NodeSelectService.h"

using kx::core::Binary;
using kx::core::Clock;
using kx::core::String;
using kx::net::IpAddress;
using kx::net::SocketAddress;
using tunnel::AddressMask;

namespace {

const IpAddress LOOPBACK("127.0.0.1");

class TunnelClientTest : public nodetest::TunnelClientFixture {
protected:
    void SetUp() override {
        TunnelClientFixture::SetUp();
        ticks.push_back([this] { client->tick(); });
    }
    std::string masked(const SocketAddress& address) {
        return AddressMask::mask(address).toStdString();
    }
    // One keep-service decision: ticks and moves the clock past the 100 ms rhythm.
    void step(int64_t ms) {
        client->tick();
        advance(ms);
    }
};

TEST_F(TunnelClientTest, WithoutNodesSelectionFailsAndTenFailuresBackOffFiveMinutes) {
    ticks.clear();  // the test drives the clock and the ticks itself
    Clock::freeze(50000000);
    EXPECT_TRUE(client->addNode(SocketAddress(IpAddress("10.0.0.1"), 1), L""));
    EXPECT_FALSE(client->addNode(SocketAddress(IpAddress("10.0.0.1"), 1), L"bandwidth"));
    client->removeNode(SocketAddress(IpAddress("10.0.0.1"), 1));

    ::testing::internal::CaptureStdout();
    for (int i = 0; i < 10; ++i) {
        step(0);  // starts a selection
        EXPECT_EQ(logger.count("I [Client] Selecting switchs ..."), i + 1);
        advance(500);
        step(0);    // the selector gives up
        step(100);  // the finished selector is deleted
    }
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(client->lastError(), String(L"No switchs are available"));
    EXPECT_EQ(logger.count("W [Client] No switchs are available!"), 10);
    EXPECT_EQ(logger.count("I [Client] Too many errors, reselect later."), 1);

    for (int i = 0; i < 20; ++i) step(100);
    EXPECT_EQ(logger.count("I [Client] Selecting switchs ..."), 10);
    advance(300000);
    step(0);
    EXPECT_EQ(logger.count("I [Client] Selecting switchs ..."), 11);
    Clock::resetForTests();
}

TEST_F(TunnelClientTest, BindsTheLabSwitchOpensTheTunnelAndAttachesElsewhereAfterACrash) {
    ASSERT_TRUE(client->addNode(server->address(), L"standard"));
    ASSERT_TRUE(client->addTcpForward(0, 0));
    tunnel::TcpForward* forward = client->forwardTunnel()->tcpForwardManager()->forwards()[0];

    ::testing::internal::CaptureStdout();
    bool opened =
        pumpUntil([&] { return client->isConnected() && client->forwardTunnel()->isOpen(); }, 3000);
    std::string console = ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(opened) << logger.all();
    EXPECT_NE(console.find(" [Selector] Compare " + masked(server->address()) + " "),
              std::string::npos);
    EXPECT_TRUE(logger.has("I [Client] Selecting switchs ..."));
    EXPECT_TRUE(logger.has("I [Client] Bind with " + masked(server->address())));
    tunnel::TunnelInfo info = client->upstreamBindService()->tunnelInfo();
    ASSERT_FALSE(info.tunnelId.isEmpty());
    EXPECT_TRUE(logger.has("I [Client] Tunnel created. Switch:" + masked(server->address()) +
                           ", Tunnel:" + std::to_string(info.natId.toInt64()) + "-" +
                           info.tunnelId.toStdString()))
        << logger.all();
    EXPECT_TRUE(logger.has("I [Tunnel] open."));
    EXPECT_EQ(client->forwardTunnel()->tunnelId(), info.tunnelId);
    EXPECT_TRUE(client->lastError().isEmpty());

    // A connection now goes through the tunnel. The switch's heartbeats name
    // 4294967295 (it tracks nothing yet) and must not free the kept packets.
    tunnel::testing::TestClient app(SocketAddress(LOOPBACK, uint16_t(forward->clientPort())));
    ASSERT_TRUE(pumpUntil([&] { return client->forwardTunnel()->backups().count() == 2; }));
    EXPECT_EQ(client->connectionCount(), 1);
    pumpUntil([] { return false; }, 700);
    EXPECT_EQ(client->forwardTunnel()->backups().count(), 2);
    EXPECT_TRUE(client->forwardTunnel()->isAlive());

    // The switch drops its connections: the client unbinds, selects again and
    // re-attaches the same tunnel.
    lab::SwitchServer* second = addSwitchAt("127.2.0.1");
    ASSERT_TRUE(client->addNode(second->address(), L"standard"));
    ::testing::internal::CaptureStdout();
    server->dropSessions();
    bool attached =
        pumpUntil([&] { return logger.hasPrefix("I [Client] Tunnel attached. Switch:"); }, 4000);
    console = ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(attached) << logger.all();
    EXPECT_TRUE(logger.has("W [Client] Not alive, to unbind!")) << logger.all();
    EXPECT_TRUE(logger.has("I [Client] Client closed."));
    EXPECT_NE(console.find("ms for standard"), std::string::npos);
    EXPECT_EQ(client->upstreamBindService()->tunnelInfo(), info);
    // The open tunnel and its connection survived the change of switch.
    EXPECT_TRUE(client->forwardTunnel()->isOpen());
    EXPECT_EQ(client->connectionCount(), 1);
    EXPECT_EQ(client->forwardTunnel()->backups().count(), 2);
}

TEST_F(TunnelClientTest, TrafficAboveHalfAMebibytePerSecondMovesToABandwidthNode) {
    lab::SwitchServer* wide = addSwitchAt("127.3.0.1");
    ASSERT_TRUE(client->addNode(server->address(), L"standard"));
    ASSERT_TRUE(client->addNode(wide->address(), L"bandwidth"));
    tunnel::UpstreamBindService* bind = client->upstreamBindService();
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(pumpUntil([&] { return bind->isConnected(); }, 3000));
    EXPECT_EQ(bind->switchAddress(), server->address());  // low traffic: standard first

    // Ten seconds at 512 KiB/s: the next keep tick leaves the standard node.
    Clock::freeze(Clock::nowMs());
    client->forwardTunnel()->traffic().addSent(int64_t(524288) * 10);
    advance(10000);
    client->tick();
    EXPECT_TRUE(logger.has("I [Client] Optimize as bandwidth, to unbind.")) << logger.all();
    ASSERT_TRUE(pumpUntil(
        [&] {
            advance(50);
            return bind->isConnected();
        },
        3000));
    std::string console = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(bind->switchAddress(), wide->address());
    EXPECT_NE(console.find("ms for bandwidth"), std::string::npos);

    // Traffic has gone quiet, but the next optimize decision waits a minute.
    // (Heartbeats keep the downstream alive across the clock jumps.)
    auto heartbeat = [&] {
        client->forwardTunnel()->receive(Binary("\x01\x01\xff\xff\xff\xff", 6));
    };
    advance(20000);
    heartbeat();
    client->tick();
    EXPECT_FALSE(logger.has("I [Client] Optimize as standard, to unbind."));
    advance(40000);
    heartbeat();
    client->tick();
    EXPECT_TRUE(logger.has("I [Client] Optimize as standard, to unbind.")) << logger.all();
    EXPECT_EQ(logger.count("I [Client] Optimize as bandwidth, to unbind."), 1);
    Clock::resetForTests();
}

// Regression: a switch that answers latency queries but drops tunnel traffic
// was left after the receive time-out and then chosen again, because its
// failure demoted the whole /16 (every lab switch on 127.0.0.1) and it had the
// lowest latency of the backup pass.
TEST_F(TunnelClientTest, HalfDeadSwitchIsLeftAndNotChosenAgain) {
    const struct {
        const char* name;
        const char* halfDead;
        const char* healthy;
    } cases[] = {
        {"distinct blocks", "127.5.0.1", "127.6.0.1"},
        {"one block", "127.7.0.1", "127.7.0.2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A fresh client per case: no failure records carried over.
        ticks.clear();
        client.reset();
        logger.lines.clear();
        client.reset(new tunnel::TunnelClient(&logger, selector.get(), login, 7, LOOPBACK, {}, L"",
                                              false));
        ticks.push_back([this] { client->tick(); });

        lab::SwitchServer* halfDead = addSwitchAt(c.halfDead, 5, lab::SwitchFault::SILENT);
        lab::SwitchServer* healthy = addSwitchAt(c.healthy, 40);
        ASSERT_TRUE(client->addNode(halfDead->address(), L"standard"));
        ASSERT_TRUE(client->addNode(healthy->address(), L"standard"));
        tunnel::UpstreamBindService* bind = client->upstreamBindService();

        ::testing::internal::CaptureStdout();
        bool opened = pumpUntil([&] { return client->forwardTunnel()->isOpen(); }, 3000);
        SocketAddress first = bind->switchAddress();

        // Nothing comes back through the tunnel: the receive time-out ends it.
        advance(tunnel::TunnelDataClient::RECEIVE_TIMEOUT_MS + 100);
        bool moved = pumpUntil(
            [&] { return bind->isConnected() && bind->switchAddress() == healthy->address(); },
            4000);
        pumpFor(20);
        ::testing::internal::GetCapturedStdout();
        ASSERT_TRUE(opened) << logger.all();
        EXPECT_EQ(first, halfDead->address());  // the faster one first
        EXPECT_TRUE(moved) << logger.all();
        EXPECT_TRUE(logger.has("I [Client] Client timeout.")) << logger.all();
        EXPECT_EQ(logger.count("I [Client] Bind with " + masked(halfDead->address())), 1)
            << logger.all();
        EXPECT_EQ(bind->switchAddress(), healthy->address());
    }
}

// Regression: with only standard switches and heavy traffic the keep service
// unbound every minute "as bandwidth", raced, and bound the same switch again.
TEST_F(TunnelClientTest, OptimizeUnbindsOnlyWhenTheWantedClassCanWin) {
    const std::string toBandwidth = "I [Client] Optimize as bandwidth, to unbind.";
    const std::string toStandard = "I [Client] Optimize as standard, to unbind.";
    ASSERT_TRUE(client->addNode(server->address(), L"standard"));
    tunnel::UpstreamBindService* bind = client->upstreamBindService();
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(pumpUntil([&] { return bind->isConnected(); }, 3000));
    Clock::freeze(Clock::nowMs());
    auto heartbeat = [&] {
        client->forwardTunnel()->receive(Binary("\x01\x01\xff\xff\xff\xff", 6));
    };

    // Heavy traffic, no bandwidth node anywhere: stay.
    client->forwardTunnel()->traffic().addSent(int64_t(2097152) * 10);
    advance(10000);
    heartbeat();
    client->tick();
    EXPECT_FALSE(logger.has(toBandwidth)) << logger.all();
    EXPECT_TRUE(bind->isBound());

    // A bandwidth node only in a block that failed lately would lose the race too.
    lab::SwitchServer* wide = addSwitchAt("127.8.0.1");
    client->nodeSelectService()->addBackupNode(SocketAddress(IpAddress("127.8.9.9"), 1));
    ASSERT_TRUE(client->addNode(wide->address(), L"bandwidth"));
    advance(100);
    client->tick();
    EXPECT_FALSE(logger.has(toBandwidth)) << logger.all();

    // One that can win: leave at once (the optimize timer is still expired).
    client->removeNode(wide->address());
    lab::SwitchServer* wider = addSwitchAt("127.9.0.1");
    ASSERT_TRUE(client->addNode(wider->address(), L"bandwidth"));
    advance(100);
    client->tick();
    EXPECT_EQ(logger.count(toBandwidth), 1) << logger.all();
    ASSERT_TRUE(pumpUntil(
        [&] {
            advance(50);
            return bind->isConnected();
        },
        3000));
    EXPECT_EQ(bind->switchAddress(), wider->address());

    // Quiet traffic on a bandwidth node (until the heavy minute has left the
    // 60-second window too), but no other class configured: stay.
    client->removeNode(server->address());
    for (int i = 0; i < 13; ++i) {
        advance(10000);
        heartbeat();
        client->tick();
    }
    EXPECT_FALSE(logger.has(toStandard)) << logger.all();
    EXPECT_TRUE(bind->isBound());

    // A standard node appears: now the move is worth it.
    ASSERT_TRUE(client->addNode(server->address(), L"standard"));
    advance(100);
    heartbeat();
    client->tick();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(logger.count(toStandard), 1) << logger.all();
    Clock::resetForTests();
}

}  // namespace
