#include <gtest/gtest.h>

#include <string>

#include "client/NodeTestSupport.h"
#include "lab_switch/SwitchSession.h"
#include "lab_switch/TunnelTable.h"
#include "tunnel_client/client/TunnelDataClient.h"

using kx::core::Binary;
using kx::core::String;
using nodetest::bytes;
using nodetest::CapturingDownstream;
using nodetest::message;
using nodetest::Message;
using nodetest::RawNode;
using tunnel::Error;
using tunnel::TunnelDataClient;
using tunnel::TunnelInfo;

namespace {

const int64_t TARGET_ID = 4242;

class TunnelDataClientTest : public nodetest::NodeTest {
protected:
    void TearDown() override {
        client.reset();
        node.reset();
        NodeTest::TearDown();
    }

    void watch() {
        client->setDownstream(&downstream);
        client->onTunnelOpened = [this](const TunnelInfo& info) {
            opened = info;
            log += "opened;";
        };
        client->onTunnelFailed = [this](const Error& e) {
            failure = e;
            log += "failed;";
        };
        client->onTunnelClosed = [this]() { log += "closed;"; };
        client->onTunnelTimeout = [this]() { log += "timeout;"; };
        ticks.push_back([this]() {
            if (client) client->tick();
        });
    }
    void create(const kx::net::SocketAddress& address, bool fastTick = true) {
        client.reset(new TunnelDataClient(selector.get(), address, login, TARGET_ID, fastTick));
        watch();
    }
    void attach(const kx::net::SocketAddress& address, const TunnelInfo& info) {
        client.reset(new TunnelDataClient(selector.get(), address, login, info, true));
        watch();
    }
    bool settled() const { return !log.empty(); }
    bool ended() const { return client->state() == TunnelDataClient::STATE_ENDED; }

    // Lets the switch's heartbeat rhythm run for ms of test time.
    void runHeartbeats(int ms) {
        for (int t = 0; t < ms; t += 250) {
            advance(250);
            pumpFor(4);
        }
    }

    std::unique_ptr<RawNode> node;
    std::unique_ptr<TunnelDataClient> client;
    CapturingDownstream downstream;
    TunnelInfo opened;
    Error failure;
    std::string log;
};

}  // namespace

TEST_F(TunnelDataClientTest, CreateThenAttachThroughAnotherSwitchOfTheSameTable) {
    create(server->address());
    EXPECT_EQ(TunnelDataClient::STATE_OPENING, client->state());
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    ASSERT_EQ("opened;", log);
    EXPECT_EQ(TunnelDataClient::STATE_OPEN, client->state());
    lab::TunnelRecord* record = switches->table().find(opened.tunnelId);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(String::fromInt64(record->natId), opened.natId);
    EXPECT_EQ(TARGET_ID, record->targetId);

    lab::SwitchServer* second = addSwitch();
    TunnelInfo info = opened;
    log.clear();
    opened = TunnelInfo();
    attach(second->address(), info);
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    EXPECT_EQ("opened;", log);
    EXPECT_EQ(info, opened);
    EXPECT_TRUE(client->isAttachMode());
    EXPECT_EQ(1, record->attachCount);
    EXPECT_EQ(1, switches->table().size());
}

TEST_F(TunnelDataClientTest, AttachToAnUnknownTunnelFailsWith201) {
    TunnelInfo info;
    info.natId = L"17";
    info.tunnelId = L"no-such-tunnel";
    attach(server->address(), info);
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    EXPECT_EQ("failed;", log);
    EXPECT_EQ(tunnel::wire::ERROR_UNKNOWN_TUNNEL, failure.code);
    EXPECT_TRUE(ended());

    // A known tunnel with the wrong NAT id is not that tunnel either.
    lab::TunnelRecord& record = switches->table().create(TARGET_ID, L"x");
    info.tunnelId = record.tunnelId;
    info.natId = String::fromInt64(record.natId + 1);
    log.clear();
    attach(server->address(), info);
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    EXPECT_EQ(tunnel::wire::ERROR_UNKNOWN_TUNNEL, failure.code);
}

TEST_F(TunnelDataClientTest, LoginFailuresEndTheOpeningOnce) {
    server->setFault(lab::SwitchFault::CLOSE_AFTER_MAKE);
    create(server->address());
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    pumpFor(20);
    EXPECT_EQ("failed;", log);
    EXPECT_EQ(Error(-1, L""), failure);

    server->setFault(lab::SwitchFault::NONE);
    login.accessKey = L"wrong";
    log.clear();
    create(server->address());
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    server->dropSessions();
    pumpFor(20);
    EXPECT_EQ("failed;", log);
    EXPECT_EQ(Error(lab::SwitchSession::ERROR_ACCESS_DENIED, L"Access denied"), failure);

    server->setFault(lab::SwitchFault::REFUSE);
    log.clear();
    create(server->address());
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    pumpFor(20);
    EXPECT_EQ("failed;", log);
    EXPECT_EQ(Error(-1, L""), failure);
}

TEST_F(TunnelDataClientTest, LossAfterLoginBeforeTheReplyEndsWithoutCallbacks) {
    server->setFault(lab::SwitchFault::CLOSE_AFTER_LOGIN);
    create(server->address());
    ASSERT_TRUE(pumpUntil([this]() { return ended(); }));
    pumpFor(20);
    EXPECT_EQ("", log);
}

TEST_F(TunnelDataClientTest, HeartbeatsKeepAFastTickTunnelOpenAndReachTheDownstream) {
    create(server->address());
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    runHeartbeats(6000);
    EXPECT_EQ(TunnelDataClient::STATE_OPEN, client->state());
    EXPECT_EQ("opened;", log);
    ASSERT_GE(downstream.packets.size(), 8u);
    EXPECT_EQ(bytes({1, 1, 0xFF, 0xFF, 0xFF, 0xFF}), downstream.packets[0]);
}

TEST_F(TunnelDataClientTest, SilentSwitchIsAbortedAfterTwoSecondsWithFastTick) {
    create(server->address());
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    server->setFault(lab::SwitchFault::SILENT);
    advance(1900);
    pumpFor(10);
    EXPECT_EQ(TunnelDataClient::STATE_OPEN, client->state());
    advance(200);
    ASSERT_TRUE(pumpUntil([this]() { return ended(); }));
    pumpFor(20);
    EXPECT_EQ("opened;timeout;closed;", log);
}

TEST_F(TunnelDataClientTest, SilentSwitchLastsFourSecondsWithoutFastTick) {
    create(server->address(), false);
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    server->setFault(lab::SwitchFault::SILENT);
    // Our own traffic keeps the connection's idle limit from firing first.
    advance(2100);
    client->send(bytes({1, 1, 0, 0, 0, 0}));
    pumpFor(10);
    EXPECT_EQ(TunnelDataClient::STATE_OPEN, client->state());
    advance(2000);
    ASSERT_TRUE(pumpUntil([this]() { return ended(); }));
    pumpFor(20);
    EXPECT_EQ("opened;timeout;closed;", log);
}

TEST_F(TunnelDataClientTest, ShortFrameResetsOnlyTheReceiveTimer) {
    node.reset(new RawNode(selector.get()));
    node->acceptLogins();
    auto logins = node->onCall;
    node->onCall = [logins](RawNode& n, const Message& m) {
        if (RawNode::method(m) == L"tunnel_create") {
            n.sendReturn(message({{L"tunnel_id", "t-1"}}));  // no "nat_id"
        } else {
            logins(n, m);
        }
    };
    create(node->address());
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    EXPECT_EQ(String(L"t-1"), opened.tunnelId);
    EXPECT_EQ(String(), opened.natId);

    // 5-byte frames that look like heartbeats feed the receive timer only:
    // the heartbeat timer still runs out after 4 s.
    for (int i = 0; i < 4; ++i) {
        advance(950);
        node->sendData(bytes({1, 1, 0, 0, 0}));
        ASSERT_TRUE(pumpUntil([&]() { return downstream.packets.size() == size_t(i + 1); }));
    }
    EXPECT_EQ(TunnelDataClient::STATE_OPEN, client->state());
    advance(300);
    ASSERT_TRUE(pumpUntil([this]() { return ended(); }));
    pumpFor(10);
    EXPECT_EQ("opened;timeout;closed;", log);
}

TEST_F(TunnelDataClientTest, SendGoesOutOnlyWhileOpen) {
    node.reset(new RawNode(selector.get()));
    node->acceptLogins();
    auto logins = node->onCall;
    node->onCall = [logins](RawNode& n, const Message& m) {
        if (RawNode::method(m) != L"tunnel_create") logins(n, m);
    };
    create(node->address());
    ASSERT_TRUE(pumpUntil([this]() { return node->calls.size() == 3; }));
    client->send(Binary("early"));  // logged in, tunnel not open yet
    node->sendReturn(message({{L"tunnel_id", "t"}, {L"nat_id", "17"}}));
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    EXPECT_EQ(String(L"17"), opened.natId);
    client->send(Binary("packet"));
    ASSERT_TRUE(pumpUntil([this]() { return node->frames.size() == 4; }));
    Binary expected = bytes({0x01, 0x02});
    expected.append(Binary("packet"));
    EXPECT_EQ(expected, node->frames[3]);
}

TEST_F(TunnelDataClientTest, DeletingTheClientCallsNothing) {
    create(server->address());
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    client.reset();
    pumpFor(20);
    EXPECT_EQ("opened;", log);
    ASSERT_TRUE(pumpUntil([this]() { return server->sessionCount() == 0; }));
}
