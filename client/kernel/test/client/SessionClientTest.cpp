#include <gtest/gtest.h>

#include <string>

#include "client/NodeTestSupport.h"
#include "lab_switch/SwitchSession.h"
#include "tunnel_client/client/SessionClient.h"

using kx::core::Binary;
using kx::core::String;
using nodetest::message;
using nodetest::Message;
using nodetest::RawNode;
using tunnel::Error;
using tunnel::SessionClient;

namespace {

class SessionClientTest : public nodetest::NodeTest {
protected:
    void TearDown() override {
        client.reset();
        node.reset();
        NodeTest::TearDown();
    }

    void start(const kx::net::SocketAddress& address) {
        client.reset(new SessionClient(selector.get(), address, login));
        client->onLogin = [this]() { ++logins; };
        client->onLoginFailed = [this](const Error& e) { failures.push_back(e); };
    }
    bool settled() const { return logins + failures.size() > 0; }

    std::unique_ptr<RawNode> node;
    std::unique_ptr<SessionClient> client;
    int logins = 0;
    std::vector<Error> failures;
};

}  // namespace

TEST_F(SessionClientTest, LogsInToTheLabSwitch) {
    start(server->address());
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    EXPECT_EQ(1, logins);
    EXPECT_TRUE(failures.empty());
    EXPECT_TRUE(client->isLoggedIn());
    ASSERT_EQ(1u, server->sessions().size());
    EXPECT_TRUE(server->sessions()[0]->isLoggedIn());
}

TEST_F(SessionClientTest, LoginProofMatchesIndependentComputation) {
    node.reset(new RawNode(selector.get()));
    node->acceptLogins("Z9");
    login.accessKey = L"ak-\u5bc6\u94a5-42";
    login.clientToken = L"tok123";
    login.clientVersion = L"1.2.3 (ios)";
    start(node->address());
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    ASSERT_EQ(2u, node->calls.size());
    EXPECT_EQ(message({{L"@", "call"}, {L"method", "zero_make"}}), node->calls[0]);
    // Digests computed with a stock library, outside this code base.
    EXPECT_EQ(message({{L"@", "call"},
                       {L"method", "zero_login"},
                       {L"access_id", "8bf49c407559ebdb7b24d0de4e16dd68"},
                       {L"zero_key", "13f8a5ef973336f7cb1a19b0bf68d988"},
                       {L"client_token", "tok123"},
                       {L"client_type", "ios"},
                       {L"client_version", "1.2.3 (ios)"}}),
              node->calls[1]);
    EXPECT_EQ(1, logins);
}

TEST_F(SessionClientTest, MissingZeroIdStillLogsInWithAnEmptyId) {
    node.reset(new RawNode(selector.get()));
    node->onCall = [](RawNode& n, const Message& m) {
        if (RawNode::method(m) == L"zero_make") n.sendReturn(Message());
    };
    login.accessKey = L"k";
    login.clientToken = L"";
    login.clientVersion = L"";
    start(node->address());
    ASSERT_TRUE(pumpUntil([this]() { return node->calls.size() == 2; }));
    EXPECT_EQ(Binary("aa4281620487cad0b4e7b851b95c8937"), node->calls[1].get(L"zero_key"));
}

TEST_F(SessionClientTest, NodeErrorThenCloseReportsOnlyOneLoginFailure) {
    login.accessKey = L"not-configured";
    start(server->address());
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    // The connection stays up until the owner deletes the client; when the
    // node then goes away, nothing more is reported.
    server->dropSessions();
    pumpFor(20);
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ(Error(lab::SwitchSession::ERROR_ACCESS_DENIED, L"Access denied"), failures[0]);
    EXPECT_EQ(0, logins);
}

TEST_F(SessionClientTest, NodeErrorOnZeroMakeIsPassedOnUnchanged) {
    node.reset(new RawNode(selector.get()));
    node->onCall = [](RawNode& n, const Message&) {
        n.sendReturn(message({{L"error_code", "-7"}, {L"error_msg", "busy node"}}));
    };
    start(node->address());
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    node->close();
    pumpFor(20);
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ(Error(-7, L"busy node"), failures[0]);
    EXPECT_EQ(1u, node->calls.size());  // no login after a failed make
}

TEST_F(SessionClientTest, ConnectionLostDuringLoginFailsOnce) {
    server->setFault(lab::SwitchFault::CLOSE_AFTER_MAKE);
    start(server->address());
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    pumpFor(20);
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ(Error(-1, L""), failures[0]);
    EXPECT_EQ(0, logins);
}

TEST_F(SessionClientTest, RefusedSwitchFailsOnce) {
    ASSERT_TRUE(server->setFault(lab::SwitchFault::REFUSE));
    start(server->address());
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    pumpFor(20);
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ(Error(-1, L""), failures[0]);
    EXPECT_EQ(0, server->acceptedCount());
}

TEST_F(SessionClientTest, MuteSwitchFailsOnceAfterTheIdleLimit) {
    server->setFault(lab::SwitchFault::MUTE);
    start(server->address());
    ASSERT_TRUE(pumpUntil([this]() { return server->sessionCount() == 1; }));
    pumpFor(5);
    EXPECT_FALSE(settled());
    advance(4100);
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    pumpFor(20);
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ(Error(-1, L""), failures[0]);
}

TEST_F(SessionClientTest, AfterLoginACloseIsNotAFailure) {
    server->setFault(lab::SwitchFault::CLOSE_AFTER_LOGIN);
    start(server->address());
    ASSERT_TRUE(pumpUntil([this]() { return settled(); }));
    ASSERT_TRUE(pumpUntil([this]() { return server->sessionCount() == 0; }));
    pumpFor(20);
    EXPECT_EQ(1, logins);
    EXPECT_TRUE(failures.empty());
}
