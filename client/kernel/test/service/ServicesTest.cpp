#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/TunnelClientFixture.h"
#include "tunnel_client/TunnelClient.h"
#include "tunnel_client/client/TunnelDataClient.h"
#include "tunnel_client/node/AddressMask.h"
#include "tunnel_client/node/Node.h"
#include "tunnel_client/service/NodeSelectService.h"
#include "tunnel_client/service/OptimizeService.h"
#include "tunnel_client/service/UpstreamBindService.h"

using kx::core::Binary;
using kx::core::Clock;
using kx::core::String;
using kx::net::IpAddress;
using kx::net::SocketAddress;
using tunnel::Error;
using tunnel::Node;
using tunnel::NodeSelectService;
using tunnel::TunnelDataClient;
using tunnel::UpstreamBindService;

namespace {

// The services of a tunnel client driven one by one (the client itself is
// not ticked, so its keep service stays out of the way).
class ServicesTest : public nodetest::TunnelClientFixture {
protected:
    bool selectOnce(Node** winner, std::string* console) {
        NodeSelectService* service = client->nodeSelectService();
        *winner = nullptr;
        bool failed = false;
        if (!service->select(
                login, 7, L"", false, [&](Node* n) { *winner = n; },
                [&](const Error&) { failed = true; }))
            return false;
        ::testing::internal::CaptureStdout();
        bool done = pumpUntil([&] {
            service->tick();
            return *winner || failed;
        });
        *console = ::testing::internal::GetCapturedStdout();
        return done;
    }
};

TEST_F(ServicesTest, RecentlyFailedBlockIsOnlyALastResortForFiveMinutes) {
    Node* node = client->nodeManager()->addNode(server->address(), L"standard");
    NodeSelectService* service = client->nodeSelectService();
    // Another switch of the same /16 failed: this one races only as a backup.
    service->addBackupNode(SocketAddress(IpAddress("127.0.99.1"), 9));

    Node* winner = nullptr;
    std::string console;
    ASSERT_TRUE(selectOnce(&winner, &console));
    EXPECT_EQ(winner, node);
    EXPECT_NE(console.find(" [Selector] No valid standard nodes"), std::string::npos);
    EXPECT_NE(console.find("ms for backup"), std::string::npos);

    // Until the service's next tick the finished selection still counts.
    EXPECT_TRUE(service->isSelecting());
    EXPECT_FALSE(service->select(login, 7, L"", false, nullptr, nullptr));
    service->tick();
    EXPECT_FALSE(service->isSelecting());

    advance(NodeSelectService::BACKUP_PERIOD_MS);
    ASSERT_TRUE(selectOnce(&winner, &console));
    EXPECT_TRUE(service->backups().isEmpty());
    EXPECT_NE(console.find("ms for standard"), std::string::npos);
}

TEST_F(ServicesTest, AFailedIpv6SwitchDemotesItsSlash48Only) {
    NodeSelectService* service = client->nodeSelectService();
    service->addBackupNode(SocketAddress(IpAddress("2001:db8:5:1::9"), 9));
    EXPECT_TRUE(service->isDemoted(SocketAddress(IpAddress("2001:db8:5:ff::1"), 443)));
    EXPECT_FALSE(service->isDemoted(SocketAddress(IpAddress("2001:db8:6::1"), 443)));
    EXPECT_FALSE(service->isDemoted(SocketAddress(IpAddress("32.1.13.184"), 443)));  // 0x2001 0x0db8 as IPv4
    advance(NodeSelectService::BACKUP_PERIOD_MS);
    EXPECT_FALSE(service->isDemoted(SocketAddress(IpAddress("2001:db8:5:ff::1"), 443)));
}

TEST_F(ServicesTest, UnknownTunnelOnAttachFallsBackToCreatingAFreshOne) {
    UpstreamBindService* bind = client->upstreamBindService();
    auto pumpBound = [&] {
        return pumpUntil([&] {
            bind->tick();
            return bind->isConnected() && client->forwardTunnel()->isOpen();
        });
    };
    bind->bind(server->address());
    EXPECT_FALSE(bind->client()->isAttachMode());
    ASSERT_TRUE(pumpBound());
    tunnel::TunnelInfo first = bind->tunnelInfo();
    EXPECT_TRUE(logger.has("I [Tunnel] open."));

    bind->unbind();
    EXPECT_TRUE(logger.has("I [Client] Unbind with " +
                           tunnel::AddressMask::mask(server->address()).toStdString()));
    EXPECT_EQ(bind->tunnelInfo(), first);  // kept for the next bind
    ASSERT_TRUE(switches->table().remove(first.tunnelId));

    bind->bind(server->address());
    EXPECT_TRUE(bind->client()->isAttachMode());
    ASSERT_TRUE(pumpUntil([&] {
        bind->tick();
        return !bind->isOpen();
    }));
    EXPECT_TRUE(logger.has("W [Client] Client open failed:201-Tunnel not found")) << logger.all();
    EXPECT_EQ(client->lastError(), String(L"Tunnel not found"));
    EXPECT_FALSE(client->forwardTunnel()->isOpen());
    EXPECT_TRUE(bind->tunnelInfo().tunnelId.isEmpty());
    ASSERT_EQ(client->nodeSelectService()->backups().size(), 1);
    EXPECT_EQ(client->nodeSelectService()->backups()[0].address, server->address());

    bind->unbind();
    bind->bind(server->address());
    EXPECT_FALSE(bind->client()->isAttachMode());
    ASSERT_TRUE(pumpBound());
    EXPECT_NE(bind->tunnelInfo().tunnelId, first.tunnelId);
    EXPECT_EQ(logger.count("I [Tunnel] open."), 2);
}

TEST_F(ServicesTest, TrafficRatesDecideTheNodeClass) {
    Clock::freeze(90000000);
    tunnel::ForwardTunnel* tunnel = client->forwardTunnel();
    ASSERT_TRUE(tunnel->open(L"t"));
    tunnel::OptimizeService optimize(client.get());
    EXPECT_FALSE(optimize.bandwidthIsHigh());
    EXPECT_TRUE(optimize.bandwidthIsLow());

    // 512 KiB/s received over the 10-second window: high, and no longer low.
    tunnel->traffic().addReceived(int64_t(524288) * 10);
    advance(10000);
    tunnel->tick();
    EXPECT_TRUE(optimize.bandwidthIsHigh());
    EXPECT_FALSE(optimize.bandwidthIsLow());

    // 100 KiB/s both ways for a minute: not high, and low on every window.
    for (int i = 0; i < 6; ++i) {
        tunnel->traffic().addReceived(102400 * 10);
        tunnel->traffic().addSent(102400 * 10);
        advance(10000);
        tunnel->receive(Binary("\x01\x01\xff\xff\xff\xff", 6));  // keeps the tunnel alive
        tunnel->tick();
    }
    EXPECT_FALSE(optimize.bandwidthIsHigh());
    EXPECT_TRUE(optimize.bandwidthIsLow());
    Clock::resetForTests();
}

}  // namespace
