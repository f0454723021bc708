#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "forward_tunnel/ForwardTestSupport.h"
#include "net/src/socket/Socket.h"
#include "service/ServiceTestSupport.h"
#include "tunnel_client/forward/ForwardTunnel.h"
#include "tunnel_client/forward/TcpForward.h"
#include "tunnel_client/forward/TcpForwardDataChannel.h"
#include "tunnel_client/forward/TcpForwardManager.h"
#include "tunnel_client/forward/UdpForward.h"
#include "tunnel_client/forward/UdpForwardDataChannel.h"
#include "tunnel_client/forward/UdpForwardManager.h"
#include "tunnel_client/protocol/ProtocolWire.h"
#include "tunnel_client/protocol/WindowTuner.h"

using kx::core::Binary;
using kx::net::IpAddress;
using kx::net::Socket;
using kx::net::SocketAddress;
using kx::net::SocketEventSelector;
using tunnel::ForwardTunnel;
using tunnel::TunnelPacket;
using tunnel::testing::FakeSwitch;
using tunnel::testing::pumpUntil;
using tunnel::testing::RecordingLogger;
using tunnel::testing::TestClient;

namespace {

const IpAddress LOOPBACK("127.0.0.1");

// A switch that ignores the window the SDK granted: the application (or UDP
// peer) never reads, and the switch keeps sending. The SDK must end the
// stream with a logged reason instead of buffering without limit.
class WindowViolationTest : public ::testing::TestWithParam<uint8_t> {
protected:
    WindowViolationTest() : selector(50), tunnel(&selector, LOOPBACK, {}, L""), sw(&tunnel) {
        tunnel.setLogger(&logger);
        EXPECT_TRUE(tunnel.open(L"W1"));
        tunnel.setUpstream(&sw.upstream);
    }

    // Opens one stream or session and answers its open; returns the id.
    uint16_t openSession() {
        if (GetParam() == TunnelPacket::CLASS_TCP) {
            auto* forward = tunnel.tcpForwardManager()->add(0, 0);
            if (!forward) return 0;
            client.reset(new TestClient(
                SocketAddress(LOOPBACK, static_cast<uint16_t>(forward->clientPort()))));
        } else {
            auto* forward = tunnel.udpForwardManager()->add(0, 0);
            if (!forward) return 0;
            peer.reset(new Socket(Socket::TYPE_UDP));
            peer->bind(SocketAddress(LOOPBACK, 0));
            Binary hello("hello");
            peer->sendTo(hello, 0, hello.length(),
                         SocketAddress(LOOPBACK, static_cast<uint16_t>(forward->clientPort())));
        }
        if (!pumpUntil(selector,
                       [&] { return !sw.sent(GetParam(), TunnelPacket::KIND_OPEN).empty(); }))
            return 0;
        uint16_t id = TunnelPacket(sw.sent(GetParam(), TunnelPacket::KIND_OPEN)[0]).channel();
        sw.openResult(GetParam(), id, 1);
        return id;
    }
    bool sessionAlive(uint16_t id) {
        if (GetParam() == TunnelPacket::CLASS_TCP) {
            auto* channel = tunnel.tcpForwardManager()->forwards()[0]->dataChannel(id);
            return channel && channel->isValid();
        }
        auto* channel = tunnel.udpForwardManager()->forwards()[0]->dataChannel(id);
        return channel && channel->isAlive();
    }

    SocketEventSelector selector;
    ForwardTunnel tunnel;
    FakeSwitch sw;
    RecordingLogger logger;
    std::unique_ptr<TestClient> client;
    std::unique_ptr<Socket> peer;
};

TEST_P(WindowViolationTest, DataBeyondTheGrantedWindowEndsTheStreamInsteadOfBuffering) {
    const uint8_t cls = GetParam();
    uint16_t id = openSession();
    ASSERT_NE(id, 0);

    // Exactly the initial grant, in full pieces, all at once: allowed.
    Binary piece;
    piece.resize(tunnel::wire::MAX_PIECE);
    for (int32_t sent = 0; sent < tunnel::wire::INITIAL_GRANT; sent += piece.length())
        sw.data(cls, id, piece);
    EXPECT_TRUE(sessionAlive(id));
    EXPECT_TRUE(sw.sent(cls, TunnelPacket::KIND_CLOSE).empty());

    // One byte more before any new grant went out: a protocol violation.
    sw.data(cls, id, Binary("x"));
    ASSERT_TRUE(
        pumpUntil(selector, [&] { return !sw.sent(cls, TunnelPacket::KIND_CLOSE).empty(); }));
    EXPECT_EQ(TunnelPacket(sw.sent(cls, TunnelPacket::KIND_CLOSE)[0]).channel(), id);
    EXPECT_TRUE(logger.hasPrefix("W [Tunnel] ")) << logger.all();

    // Whatever else the switch pushes is no longer taken anywhere.
    for (int i = 0; i < 64; ++i) sw.data(cls, id, piece);
    ASSERT_TRUE(pumpUntil(selector, [&] { return tunnel.connectionCount() == 0; }));
    // ... and the violation is logged once, not once per packet.
    const std::string log = logger.all();
    size_t lines = 0;
    for (size_t at = log.find("beyond its window"); at != std::string::npos;
         at = log.find("beyond its window", at + 1))
        ++lines;
    EXPECT_EQ(lines, 1u) << log;
}

INSTANTIATE_TEST_SUITE_P(StreamsAndSessions, WindowViolationTest,
                         ::testing::Values(TunnelPacket::CLASS_TCP, TunnelPacket::CLASS_UDP));

// One TCP stream through a tunnel to a fake switch, its open answered.
class WindowAccountingTest : public ::testing::Test {
protected:
    WindowAccountingTest() : selector(50), tunnel(&selector, LOOPBACK, {}, L""), sw(&tunnel) {}

    void openStream(const wchar_t* tunnelId) {
        ASSERT_TRUE(tunnel.open(tunnelId));
        tunnel.setUpstream(&sw.upstream);
        forward = tunnel.tcpForwardManager()->add(0, 0);
        ASSERT_NE(forward, nullptr);
        client.reset(
            new TestClient(SocketAddress(LOOPBACK, static_cast<uint16_t>(forward->clientPort()))));
        ASSERT_TRUE(pumpUntil(selector, [&] {
            return !sw.sent(TunnelPacket::CLASS_TCP, TunnelPacket::KIND_OPEN).empty();
        }));
        id = TunnelPacket(sw.sent(TunnelPacket::CLASS_TCP, TunnelPacket::KIND_OPEN)[0]).channel();
        sw.openResult(TunnelPacket::CLASS_TCP, id, 1);
    }

    SocketEventSelector selector;
    ForwardTunnel tunnel;
    FakeSwitch sw;
    tunnel::TcpForward* forward = nullptr;
    std::unique_ptr<TestClient> client;
    uint16_t id = 0;
};

TEST_F(WindowAccountingTest, GrantsSentBackRaiseTheLimitTheSwitchMustRespect) {
    ASSERT_NO_FATAL_FAILURE(openStream(L"W2"));

    // The application reads everything, so grants flow back and the switch
    // may send far more than the first window in total.
    Binary piece;
    piece.resize(tunnel::wire::MAX_PIECE);
    size_t total = 0;
    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < 8; ++i) {
            sw.data(TunnelPacket::CLASS_TCP, id, piece);
            total += static_cast<size_t>(piece.length());
        }
        ASSERT_TRUE(pumpUntil(selector, [&] {
            client->poll();
            return client->received.size() == total;
        }));
        ASSERT_TRUE(pumpUntil(selector, [&] {
            auto* channel = forward->dataChannel(id);
            return channel && channel->inboundWindow() == tunnel::wire::INITIAL_GRANT;
        }));
    }
    EXPECT_FALSE(client->closed);
    EXPECT_TRUE(sw.sent(TunnelPacket::CLASS_TCP, TunnelPacket::KIND_CLOSE).empty());
}

// The application stops reading a download: the switch sends all it is
// granted, as fast as it may, and acknowledges our packets so the window is
// free to grow. What the SDK holds for the application never exceeds the
// stream's window, and grants stop once the application's socket is full.
TEST_F(WindowAccountingTest, ANonReadingApplicationMakesTheSdkHoldAtMostTheWindow) {
    ASSERT_NO_FATAL_FAILURE(openStream(L"W3"));
    auto* channel = forward->dataChannel(id);
    ASSERT_NE(channel, nullptr);

    Binary piece;
    piece.resize(tunnel::wire::MAX_PIECE);
    int64_t sent = 0, maxHeld = 0;
    auto lastGrant = std::chrono::steady_clock::now();
    int64_t granted = 0;
    ASSERT_TRUE(pumpUntil(
        selector,
        [&] {
            int64_t total = 0;
            for (const Binary& p : sw.sent(TunnelPacket::CLASS_TCP, TunnelPacket::KIND_WINDOW)) {
                uint32_t grant = 0;
                if (TunnelPacket(p).channel() == id && TunnelPacket(p).windowGrant(&grant))
                    total += grant;
            }
            if (total != granted) lastGrant = std::chrono::steady_clock::now();
            granted = total;
            for (; sent < granted; sent += piece.length()) {
                int32_t n = static_cast<int32_t>(std::min<int64_t>(piece.length(), granted - sent));
                sw.data(TunnelPacket::CLASS_TCP, id, Binary(piece.data(), n));
                if (n < piece.length()) sent -= piece.length() - n;
            }
            sw.ack(tunnel.nextSendSequence() - 1);
            maxHeld = std::max(maxHeld, channel->pendingSendBytes());
            EXPECT_LE(channel->pendingSendBytes(), channel->windowTarget());
            return std::chrono::steady_clock::now() - lastGrant > std::chrono::milliseconds(300);
        },
        8000));
    EXPECT_FALSE(client->closed);
    EXPECT_EQ(channel->inboundWindow(), 0);
    EXPECT_GT(maxHeld, 0) << "the application's socket never filled";
    EXPECT_LE(maxHeld, channel->windowTarget());
    EXPECT_LE(channel->windowTarget(), tunnel::WindowTuner::MAX_WINDOW);
    EXPECT_TRUE(sw.sent(TunnelPacket::CLASS_TCP, TunnelPacket::KIND_CLOSE).empty());
}

}  // namespace
