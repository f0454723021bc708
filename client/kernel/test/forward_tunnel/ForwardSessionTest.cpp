#include <gtest/gtest.h>

#include <vector>

#include "downstream/FakeUpstream.h"
#include "core/src/time/Clock.h"
#include "tunnel_client/forward/DownstreamTunnel.h"
#include "tunnel_client/forward/ForwardSession.h"

using kx::core::Binary;
using kx::core::String;
using tunnel::DownstreamTunnel;
using tunnel::ForwardSession;
using tunnel::TunnelPacket;
using tunnel::testing::FakeUpstream;

namespace {

class SinkTunnel : public DownstreamTunnel {
public:
    explicit SinkTunnel(int32_t capacity = BACKUP_CAPACITY) : DownstreamTunnel(capacity) {}

protected:
    void onData(const Binary&) override {}
};

class ForwardSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        kx::core::Clock::freeze(100000);
        tunnel.open();
        tunnel.setUpstream(&upstream);
    }
    void TearDown() override { kx::core::Clock::resetForTests(); }

    uint32_t windowAt(size_t i) {
        uint32_t granted = 0;
        EXPECT_TRUE(TunnelPacket(upstream.packets.at(i)).windowGrant(&granted));
        return granted;
    }

    SinkTunnel tunnel;
    FakeUpstream upstream;
};

TEST_F(ForwardSessionTest, KeyIsTheMd5HexOfForwardKeyAndTunnelId) {
    EXPECT_EQ(ForwardSession::sessionKey(L"", L"T42"), String());
    EXPECT_EQ(ForwardSession::sessionKey(String::fromUtf8("natkey-\xC3\xA9"), L"T42"),
              String(L"45162183feb378f73cc75432be716a5b"));
}

TEST_F(ForwardSessionTest, OpenGrantsAndWindowDebtFollowTheSwitch) {
    ForwardSession session(&tunnel, TunnelPacket::CLASS_TCP, 77, L"");
    ASSERT_TRUE(session.open(8080, 8192));
    ASSERT_EQ(upstream.packets.size(), 2u);
    uint16_t port = 0;
    EXPECT_TRUE(TunnelPacket(upstream.packets[0]).openPort(&port));
    EXPECT_EQ(port, 8080);
    EXPECT_EQ(TunnelPacket(upstream.packets[0]).channel(), 77);
    EXPECT_EQ(windowAt(1), 131072u);

    // The first 8192 bytes were allowed before any grant: a grant pays that off first.
    EXPECT_EQ(session.applyWindow(4096), 0);
    EXPECT_EQ(session.applyWindow(8192), 4096);
    EXPECT_EQ(session.applyWindow(100), 100);

    // Deliveries are granted back in steps of at least 16384 bytes.
    session.onDelivered(10000);
    EXPECT_EQ(upstream.packets.size(), 2u);
    session.onDelivered(7000);
    ASSERT_EQ(upstream.packets.size(), 3u);
    EXPECT_EQ(windowAt(2), 17000u);
}

TEST_F(ForwardSessionTest, PlainPayloadsTravelUnchangedAndOversizeIsRefused) {
    ForwardSession plainSession(&tunnel, TunnelPacket::CLASS_UDP, 9, L"");
    Binary datagram;
    datagram.resize(65535);
    datagram[100] = 0x5A;
    ASSERT_EQ(plainSession.sendData(datagram, 0, 65535), ForwardSession::SENT);
    EXPECT_EQ(upstream.packets.back().length(), 65545);
    EXPECT_EQ(upstream.packets.back()[110], 0x5A);

    // Encryption adds a block and a trailer: 65535 plain bytes no longer fit.
    ForwardSession secret(&tunnel, TunnelPacket::CLASS_UDP, 10, L"key");
    uint32_t next = tunnel.nextSendSequence();
    EXPECT_EQ(secret.sendData(datagram, 0, 65535), ForwardSession::TOO_LARGE);
    EXPECT_EQ(tunnel.nextSendSequence(), next);
}

TEST_F(ForwardSessionTest, GrantRefusedByAFullTunnelIsSentLater) {
    SinkTunnel small(24);
    small.open();
    small.setUpstream(&upstream);
    ForwardSession session(&small, TunnelPacket::CLASS_TCP, 3, L"");
    ASSERT_TRUE(session.open(1, 0));  // 10 + 12 bytes
    EXPECT_FALSE(session.hasPendingGrant());
    session.onDelivered(20000);
    EXPECT_TRUE(session.hasPendingGrant());
    small.receive(TunnelPacket::buildAck(1));
    EXPECT_TRUE(session.flushGrant());
    EXPECT_FALSE(session.hasPendingGrant());
    uint32_t granted = 0;
    ASSERT_TRUE(TunnelPacket(upstream.packets.back()).windowGrant(&granted));
    EXPECT_EQ(granted, 20000u);

    // Not even the open packet fits: the session reports it was never opened.
    ForwardSession refused(&small, TunnelPacket::CLASS_TCP, 4, L"");
    session.onDelivered(20000);
    EXPECT_FALSE(refused.open(2, 0));
}

}  // namespace
