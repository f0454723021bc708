#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/NodeTestSupport.h"
#include "tunnel_client/client/DicRpc.h"
#include "tunnel_client/client/ProtocolClient.h"

using nodetest::message;
using nodetest::Message;
using nodetest::RawNode;
using tunnel::DicRpc;
using tunnel::Error;
using tunnel::ProtocolClient;

namespace {

// The RPC hooked in front of a client's own message handler, against a node
// scripted by hand.
class DicRpcTest : public nodetest::NodeTest {
protected:
    void SetUp() override {
        NodeTest::SetUp();
        node.reset(new RawNode(selector.get()));
        client.reset(new ProtocolClient(selector.get(), node->address()));
        client->onMessage = [this](Message& m) { passed.push_back(m); };
        ASSERT_TRUE(pumpUntil([this]() { return client->rpc() != nullptr; }));
        rpc = client->rpc();
    }
    void TearDown() override {
        client.reset();
        node.reset();
        NodeTest::TearDown();
    }

    std::unique_ptr<RawNode> node;
    std::unique_ptr<ProtocolClient> client;
    DicRpc* rpc = nullptr;
    std::vector<Message> passed;
};

TEST_F(DicRpcTest, BusyTryCallRefusesQuietlyAndSendsNothing) {
    int first = 0, second = 0;
    ASSERT_TRUE(rpc->tryCall(L"one", Message(), [&](const Message&) { ++first; }, nullptr));
    EXPECT_FALSE(rpc->tryCall(L"two", Message(), [&](const Message&) { ++second; }, nullptr));
    EXPECT_TRUE(rpc->isBusy());
    ASSERT_TRUE(pumpUntil([&]() { return node->calls.size() == 1; }));
    node->sendReturn(Message());
    ASSERT_TRUE(pumpUntil([&]() { return first == 1; }));
    pumpFor(5);
    EXPECT_EQ(0, second);
    EXPECT_EQ(1u, node->calls.size());
    EXPECT_EQ(kx::core::String(L"one"), RawNode::method(node->calls[0]));
}

TEST_F(DicRpcTest, OnlyTheReturnOfThePendingCallIsTaken) {
    // Before any call, a return is someone else's message.
    node->sendReturn(message({{L"x", "early"}}));
    ASSERT_TRUE(pumpUntil([&]() { return passed.size() == 1; }));

    std::vector<std::string> log;
    // The error handler of the first call starts the next call from inside.
    ASSERT_TRUE(rpc->tryCall(
        L"first", Message(), [&](const Message&) { log.push_back("return1"); },
        [&](const Error& e) {
            log.push_back("error1:" + std::to_string(e.code));
            EXPECT_TRUE(rpc->tryCall(
                L"second", Message(), [&](const Message&) { log.push_back("return2"); },
                [&](const Error&) { log.push_back("error2"); }));
        }));
    node->sendMessage(message({{L"@", "push"}}));  // not a return: passes on
    node->sendReturn(message({{L"error_code", "201"}, {L"error_msg", "Tunnel not found"}}));
    ASSERT_TRUE(pumpUntil([&]() { return node->calls.size() == 2; }));
    node->sendReturn(Message());
    ASSERT_TRUE(pumpUntil([&]() { return log.size() == 2; }));

    EXPECT_EQ((std::vector<std::string>{"error1:201", "return2"}), log);
    ASSERT_EQ(2u, passed.size());
    EXPECT_EQ(kx::core::Binary("push"), passed[1].get(L"@"));
    EXPECT_FALSE(rpc->isBusy());
}

}  // namespace
