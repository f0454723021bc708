#include <gtest/gtest.h>

#include <string>

#include "forward_tunnel/ForwardTestSupport.h"
#include "net/src/socket/Socket.h"
#include "tunnel_client/forward/ForwardTunnel.h"
#include "tunnel_client/forward/UdpForward.h"
#include "tunnel_client/forward/UdpForwardDataChannel.h"
#include "tunnel_client/forward/UdpForwardManager.h"

using kx::core::Binary;
using kx::net::IpAddress;
using kx::net::Socket;
using kx::net::SocketAddress;
using kx::net::SocketEventSelector;
using tunnel::ForwardTunnel;
using tunnel::TunnelPacket;
using tunnel::UdpForward;
using tunnel::UdpForwardDataChannel;
using tunnel::testing::FakeSwitch;
using tunnel::testing::pumpFor;
using tunnel::testing::pumpUntil;

namespace {

const uint8_t UDP = TunnelPacket::CLASS_UDP;
const IpAddress LOOPBACK("127.0.0.1");

class UdpPeer {
public:
    UdpPeer() : socket(Socket::TYPE_UDP) {
        socket.bind(SocketAddress(LOOPBACK, 0));
        socket.setBlocking(false);
    }
    void sendTo(const std::string& text, const SocketAddress& to) {
        Binary data = Binary::fromStdString(text);
        socket.sendTo(data, 0, data.length(), to);
    }
    bool receive(std::string* out) {
        Binary buffer;
        buffer.resize(65536);
        SocketAddress from;
        int n = socket.receiveFrom(&buffer, 0, buffer.length(), &from);
        if (n < 0) return false;
        out->assign(buffer.c_str(), static_cast<size_t>(n));
        return true;
    }
    Socket socket;
};

class UdpForwardTest : public ::testing::Test {
protected:
    UdpForwardTest() : selector(50), tunnel(&selector, LOOPBACK, {}, L""), sw(&tunnel) {}

    void openTunnel() {
        ASSERT_TRUE(tunnel.open(L"T9"));
        tunnel.setUpstream(&sw.upstream);
    }
    SocketAddress addressOf(UdpForward* forward) {
        return SocketAddress(LOOPBACK, static_cast<uint16_t>(forward->clientPort()));
    }
    size_t opens() const { return sw.sent(UDP, TunnelPacket::KIND_OPEN).size(); }

    SocketEventSelector selector;
    ForwardTunnel tunnel;
    FakeSwitch sw;
};

TEST_F(UdpForwardTest, PeerBecomesASessionOnlyOnceTheTunnelIsUp) {
    UdpForward* forward = tunnel.udpForwardManager()->add(0, 0);
    ASSERT_NE(forward, nullptr);
    EXPECT_EQ(tunnel.udpForwardManager()->add(forward->clientPort(), 0), nullptr);

    UdpPeer peer;
    peer.sendTo("lost", addressOf(forward));
    pumpFor(selector, 50);
    EXPECT_EQ(forward->channelCount(), 0);
    EXPECT_TRUE(sw.upstream.packets.empty());

    openTunnel();
    peer.sendTo("first", addressOf(forward));
    ASSERT_TRUE(pumpUntil(selector, [&] { return opens() == 1; }));
    Binary open = sw.sent(UDP, TunnelPacket::KIND_OPEN)[0];
    uint16_t id = TunnelPacket(open).channel();
    uint16_t port = 0;
    ASSERT_TRUE(TunnelPacket(open).openPort(&port));
    EXPECT_EQ(port, forward->clientPort());
    uint32_t granted = 0;
    ASSERT_TRUE(TunnelPacket(sw.sent(UDP, TunnelPacket::KIND_WINDOW)[0]).windowGrant(&granted));
    EXPECT_EQ(granted, 131072u);
    EXPECT_EQ(sw.dataOf(UDP, id), "first");
    EXPECT_EQ(tunnel.connectionCount(), 1);

    sw.openResult(UDP, id, 1);
    sw.data(UDP, id, Binary("reply"));
    std::string got;
    ASSERT_TRUE(pumpUntil(selector, [&] { return peer.receive(&got); }));
    EXPECT_EQ(got, "reply");

    // A second peer on the same port is a session of its own.
    UdpPeer other;
    other.sendTo("second", addressOf(forward));
    ASSERT_TRUE(pumpUntil(selector, [&] { return opens() == 2; }));
    uint16_t otherId = TunnelPacket(sw.sent(UDP, TunnelPacket::KIND_OPEN)[1]).channel();
    EXPECT_NE(otherId, id);
    EXPECT_EQ(sw.dataOf(UDP, otherId), "second");

    // Closing the tunnel ends every session without close packets.
    size_t packets = sw.upstream.packets.size();
    tunnel.close();
    EXPECT_EQ(forward->channelCount(), 0);
    EXPECT_EQ(sw.upstream.packets.size(), packets);
    EXPECT_TRUE(forward->isListening());
}

TEST_F(UdpForwardTest, DatagramsUpTo65535BytesFitOnePacketAndLargerOnesAreDropped) {
    openTunnel();
    UdpForward* forward = tunnel.udpForwardManager()->add(0, 0);
    ASSERT_NE(forward, nullptr);
    UdpPeer peer;
    peer.sendTo("x", addressOf(forward));
    ASSERT_TRUE(pumpUntil(selector, [&] { return opens() == 1; }));
    uint16_t id = TunnelPacket(sw.sent(UDP, TunnelPacket::KIND_OPEN)[0]).channel();
    UdpForwardDataChannel* channel = forward->dataChannel(id);
    ASSERT_NE(channel, nullptr);

    int credit = channel->receiveCredit();
    Binary largest;
    largest.resize(65535);
    channel->onReceive(largest);
    ASSERT_EQ(sw.sent(UDP, TunnelPacket::KIND_DATA).size(), 2u);
    EXPECT_EQ(sw.sent(UDP, TunnelPacket::KIND_DATA)[1].length(), 65545);

    Binary tooLarge;
    tooLarge.resize(65536);
    channel->onReceive(tooLarge);
    EXPECT_EQ(sw.sent(UDP, TunnelPacket::KIND_DATA).size(), 2u);
    // The dropped datagram's credit comes back; the sent one waits for a grant.
    EXPECT_EQ(channel->receiveCredit(), credit + 65536);

    // The switch closing the session ends it with a close packet of ours.
    sw.openResult(UDP, id, 1);
    sw.deliver(TunnelPacket::buildClose(UDP, id));
    ASSERT_TRUE(pumpUntil(selector, [&] { return forward->channelCount() == 0; }));
    ASSERT_EQ(sw.sent(UDP, TunnelPacket::KIND_CLOSE).size(), 1u);
    EXPECT_EQ(TunnelPacket(sw.sent(UDP, TunnelPacket::KIND_CLOSE)[0]).channel(), id);
}

}  // namespace
