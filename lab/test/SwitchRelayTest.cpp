#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "LabNetworkTest.h"
#include "RawSwitchClient.h"
#include "core/src/time/Clock.h"
#include "lab_network/LabNetwork.h"
#include "lab_switch/SwitchSession.h"
#include "lab_switch/TunnelLink.h"
#include "net/src/channel/SizeHeaderTcpSocketChannel.h"
#include "net/src/channel/TcpSocketConnector.h"
#include "tunnel_client/protocol/LoginProof.h"
#include "tunnel_client/protocol/ProtocolFrame.h"
#include "tunnel_client/protocol/ProtocolWire.h"
#include "tunnel_client/protocol/TunnelPacket.h"
#include "tunnel_client/protocol/WireValue.h"

using kx::core::Binary;
using kx::core::String;
using tunnel::TunnelPacket;
using tunnel::WireValue;
typedef kx::core::Dictionary<Binary> Message;
using labtest::RawClient;

namespace {

class SwitchRelayTest : public labtest::LabNetworkTest {
protected:
    void SetUp() override {
        startLab(
            L"{\"switches\": ["
            L"{\"name\": \"a\", \"listen\": \"127.0.0.1:0\", \"access_keys\": [\"key\"]},"
            L"{\"name\": \"b\", \"listen\": \"127.1.0.1:0\", \"access_keys\": [\"key\"]}],"
            L"\"backends\": [{\"name\": \"echo\", \"kind\": \"tcp_echo\", "
            L"\"listen\": \"127.0.0.1:0\"}],"
            L"\"routes\": [{\"target_id\": 3, \"client_port\": 4001, \"backend\": \"echo\"}]}");
    }
    void TearDown() override {
        clients.clear();
        LabNetworkTest::TearDown();
    }

    // Connects and logs in; the new client's answers hold the login result.
    RawClient* login(const wchar_t* switchName) {
        clients.emplace_back(new RawClient);
        RawClient* c = clients.back().get();
        c->connect(selector.get(), network->findSwitch(switchName)->address());
        EXPECT_TRUE(
            c->logIn([this](const std::function<bool()>& done) { return pumpUntil(done); }));
        return c;
    }

    std::vector<std::unique_ptr<RawClient>> clients;
};

}  // namespace

TEST_F(SwitchRelayTest, ReattachThroughAnotherSwitchResendsKeptPacketsBeforeNewOnes) {
    RawClient* a = login(L"a");
    Message create;
    create.set(L"target_id", Binary("3"));
    a->call(L"tunnel_create", create);
    ASSERT_TRUE(pumpUntil([a] { return a->answers.size() == 3; }));
    String tunnelId = WireValue::text(a->answers[2], L"tunnel_id");
    String natId = WireValue::text(a->answers[2], L"nat_id");
    ASSERT_FALSE(tunnelId.isEmpty());

    // The heartbeat names 4294967295 until the switch has received a packet.
    kx::core::Clock::advance(600);
    ASSERT_TRUE(pumpUntil([a] { return !a->acks().empty(); }));
    EXPECT_EQ(0xFFFFFFFFu, a->acks().back());

    uint32_t sequence = 0;
    a->send(TunnelPacket::buildOpen(TunnelPacket::CLASS_TCP, 5, 4001), sequence++);
    a->send(TunnelPacket::buildWindow(TunnelPacket::CLASS_TCP, 5, 131072), sequence++);
    Binary data;
    TunnelPacket::buildData(&data, TunnelPacket::CLASS_TCP, 5,
                            reinterpret_cast<const uint8_t*>("first"), 5);
    a->send(data, sequence++);
    // Open result, grant and the echo of "first".
    ASSERT_TRUE(pumpUntil([a] { return a->dataPackets().size() == 3; }));
    kx::core::Clock::advance(600);
    size_t acksBefore = a->acks().size();
    ASSERT_TRUE(pumpUntil([a, acksBefore] { return a->acks().size() > acksBefore; }));
    EXPECT_EQ(2u, a->acks().back());

    // Nothing acknowledged; the client comes back through switch b.
    RawClient* b = login(L"b");
    Message attach;
    attach.set(L"tunnel_id", WireValue::fromText(tunnelId));
    attach.set(L"nat_id", WireValue::fromText(natId));
    b->call(L"tunnel_attach", attach);
    TunnelPacket::buildData(&data, TunnelPacket::CLASS_TCP, 5,
                            reinterpret_cast<const uint8_t*>("second"), 6);
    b->send(data, sequence++);
    ASSERT_TRUE(pumpUntil([b] { return b->dataPackets().size() == 4; }));
    ASSERT_EQ(3u, b->answers.size());
    EXPECT_FALSE(b->answers[2].contains(L"error_code"));
    std::vector<TunnelPacket> got = b->dataPackets();
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(i, got[i].sequence());
    EXPECT_EQ(TunnelPacket::KIND_OPEN_RESULT, got[0].kind());
    const uint8_t* payload = nullptr;
    int32_t length = 0;
    ASSERT_TRUE(got[3].payload(&payload, &length));
    EXPECT_EQ(Binary("second"), Binary(payload, length));

    // The old connection no longer feeds the tunnel, and the new one frees
    // what it acknowledges.
    lab::TunnelLink* link = network->switches().table().find(tunnelId)->link.get();
    EXPECT_EQ(network->findSwitch(L"b")->sessions()[0].get(), link->holder());
    a->send(TunnelPacket::buildClose(TunnelPacket::CLASS_TCP, 5), sequence);
    pumpUntil([] { return false; }, 50);
    EXPECT_EQ(1, link->streamCount());
    EXPECT_EQ(4, link->keptCount());
    b->send(TunnelPacket::buildAck(3), 3);
    ASSERT_TRUE(pumpUntil([link] { return link->keptCount() == 0; }));
}

TEST_F(SwitchRelayTest, AdminTakesTheBoundSwitchDownAndUpAgain) {
    EXPECT_EQ("error no switch carries a tunnel", network->command("down bound"));
    RawClient* a = login(L"a");
    Message create;
    create.set(L"target_id", Binary("3"));
    a->call(L"tunnel_create", create);
    ASSERT_TRUE(pumpUntil([a] { return a->answers.size() == 3; }));
    EXPECT_EQ("ok a=up/1 b=up/0", network->command("status"));
    EXPECT_EQ("ok down a", network->command("down bound"));
    EXPECT_TRUE(network->findSwitch(L"a")->isDown());
    EXPECT_EQ(1, network->switches().table().size());  // the tunnel stays
    EXPECT_EQ("ok a=down/0 b=up/0", network->command("status"));
    EXPECT_EQ("ok up a", network->command("up a"));
    login(L"a");
    EXPECT_EQ("error unknown switch: c", network->command("down c"));
    EXPECT_EQ("error unknown fault", network->command("fault a explode"));
    EXPECT_EQ("ok fault a silent", network->command("fault a silent"));
    EXPECT_EQ("error unknown command: dance", network->command("dance a"));
}

TEST_F(SwitchRelayTest, AckThresholdReceivedIsAcknowledgedAtOnce) {
    RawClient* a = login(L"a");
    Message create;
    create.set(L"target_id", Binary("3"));
    a->call(L"tunnel_create", create);
    ASSERT_TRUE(pumpUntil([a] { return a->answers.size() == 3; }));
    // Time stands still: no periodic acknowledgement can come.
    kx::core::Clock::freeze(kx::core::Clock::nowMs());
    Binary payload;
    payload.resize(65000);
    Binary packet;
    // Data for a channel nobody opened: dropped, but counted as received.
    TunnelPacket::buildData(&packet, TunnelPacket::CLASS_TCP, 99, payload.data(), payload.length());
    const uint32_t count = tunnel::wire::ACK_BYTES / 65010 + 1;
    for (uint32_t i = 0; i < count; ++i) a->send(packet, i);
    ASSERT_TRUE(pumpUntil([a] { return !a->acks().empty(); }, 5000));
    EXPECT_EQ(std::vector<uint32_t>{count - 1}, a->acks());
    kx::core::Clock::unfreeze();
}

TEST_F(SwitchRelayTest, ATunnelWithoutConnectionLingersThenGoesWithItsStreams) {
    lab::TunnelTable& table = network->switches().table();
    kx::net::SocketAddress echo;
    ASSERT_TRUE(network->backendAddress(L"echo", &echo));
    auto openTunnelWithStream = [this](RawClient* c) {
        Message create;
        create.set(L"target_id", Binary("3"));
        c->call(L"tunnel_create", create);
        EXPECT_TRUE(pumpUntil([c] { return c->answers.size() == 3; }));
        c->send(TunnelPacket::buildOpen(TunnelPacket::CLASS_TCP, 5, 4001), 0);
        EXPECT_TRUE(pumpUntil([c] { return c->dataPackets().size() == 2; }));
        return WireValue::text(c->answers[2], L"tunnel_id");
    };
    String kept = openTunnelWithStream(login(L"a"));
    String dropped = openTunnelWithStream(login(L"b"));
    ASSERT_EQ(2, table.size());

    // Both clients leave; one comes back within the linger time.
    clients.clear();
    ASSERT_TRUE(pumpUntil([this] {
        return network->findSwitch(L"a")->sessionCount() +
                   network->findSwitch(L"b")->sessionCount() ==
               0;
    }));
    kx::core::Clock::advance(lab::TunnelTable::LINGER_MS - 1000);
    pumpUntil([] { return false; }, 30);
    EXPECT_EQ(2, table.size());
    RawClient* back = login(L"b");
    Message attach;
    attach.set(L"tunnel_id", WireValue::fromText(kept));
    attach.set(L"nat_id", Binary("1"));
    back->call(L"tunnel_attach", attach);
    ASSERT_TRUE(pumpUntil([back] { return back->answers.size() == 3; }));
    ASSERT_FALSE(back->answers[2].contains(L"error_code"));

    kx::core::Clock::advance(2000);
    ASSERT_TRUE(pumpUntil([&table] { return table.size() == 1; }));
    EXPECT_EQ(nullptr, table.find(dropped));
    ASSERT_NE(nullptr, table.find(kept));
    EXPECT_EQ(1, table.find(kept)->link->streamCount());
    EXPECT_EQ(1, table.removedCount());

    // Once the holder goes as well, nothing is left after the linger time.
    clients.clear();
    ASSERT_TRUE(pumpUntil([this] { return network->findSwitch(L"b")->sessionCount() == 0; }));
    kx::core::Clock::advance(lab::TunnelTable::LINGER_MS + 1);
    ASSERT_TRUE(pumpUntil([&table] { return table.size() == 0; }));
}
