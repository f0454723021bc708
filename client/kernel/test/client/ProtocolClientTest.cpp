#include <gtest/gtest.h>

#include <string>

#include "core/src/exception/Exception.h"
#include "client/NodeTestSupport.h"
#include "tunnel_client/client/DicRpc.h"
#include "tunnel_client/client/ProtocolClient.h"

using kx::core::Binary;
using kx::core::String;
using nodetest::bytes;
using nodetest::message;
using nodetest::Message;
using nodetest::RawNode;
using tunnel::Error;
using tunnel::ProtocolClient;

namespace {

class ProtocolClientTest : public nodetest::NodeTest {
protected:
    void SetUp() override {
        NodeTest::SetUp();
        node.reset(new RawNode(selector.get()));
    }
    void TearDown() override {
        client.reset();
        node.reset();
        NodeTest::TearDown();
    }

    void connect() {
        client.reset(new ProtocolClient(selector.get(), node->address()));
        client->onConnected = [this]() { log += "connected;"; };
        client->onConnectFailed = [this]() { log += "connect-failed;"; };
        client->onClosed = [this]() { log += "closed;"; };
        client->onTimeout = [this]() { log += "timeout;"; };
        client->onMessage = [this](Message& m) { messages.push_back(m); };
        client->onData = [this](Binary& d) { data.push_back(d); };
        ASSERT_TRUE(pumpUntil([this]() { return client->rpc() != nullptr; }));
        EXPECT_EQ("connected;", log);
    }

    std::unique_ptr<RawNode> node;
    std::unique_ptr<ProtocolClient> client;
    std::string log;
    std::vector<Message> messages;
    std::vector<Binary> data;
};

}  // namespace

TEST_F(ProtocolClientTest, MalformedFramesAreDroppedAndDataPassesUnchanged) {
    connect();
    Binary hello;
    tunnel::ProtocolFrame::encodeMessage(message({{L"@", "hello"}}), &hello);
    Binary wrongVersion = hello;
    wrongVersion[0] = 0x02;

    node->sendFrame(bytes({0x01, 0x01}));        // message without entries
    node->sendFrame(wrongVersion);               // other version
    node->sendFrame(bytes({0x01, 0x03, 0x00}));  // other kind
    node->sendFrame(bytes({0x01}));              // too short
    node->sendFrame(bytes({0x01, 0x01, 'k'}));   // no complete entry
    node->sendFrame(bytes({0x01, 0x02}));        // empty data
    node->sendFrame(bytes({0x01, 0x02, 0xAA, 0x00, 0xBB}));
    node->sendFrame(hello);
    ASSERT_TRUE(pumpUntil([this]() { return !messages.empty(); }));

    ASSERT_EQ(2u, data.size());
    EXPECT_TRUE(data[0].isEmpty());
    EXPECT_EQ(bytes({0xAA, 0x00, 0xBB}), data[1]);
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(Binary("hello"), messages[0].get(L"@"));
}

TEST_F(ProtocolClientTest, RequestCarriesParamsWithReservedKeysReplaced) {
    connect();
    client->rpc()->call(L"tunnel_create",
                        message({{L"target_id", "7"}, {L"method", "x"}, {L"@", "y"}}), nullptr,
                        nullptr);
    ASSERT_TRUE(pumpUntil([this]() { return !node->calls.empty(); }));
    EXPECT_EQ(message({{L"@", "call"}, {L"method", "tunnel_create"}, {L"target_id", "7"}}),
              node->calls[0]);
    EXPECT_EQ(bytes({0x01, 0x01}), Binary(node->frames[0].data(), 2));
}

TEST_F(ProtocolClientTest, ErrorReturnsBecomeErrors) {
    connect();
    std::vector<Error> errors;
    int returns = 0;
    auto call = [&]() {
        client->rpc()->call(
            L"m", Message(), [&](const Message&) { ++returns; },
            [&](const Error& e) { errors.push_back(e); });
    };
    call();
    node->sendReturn(message({{L"error_code", "201"}}));
    ASSERT_TRUE(pumpUntil([&]() { return errors.size() == 1; }));
    call();
    node->sendReturn(message({{L"error_code", "abc"}, {L"error_msg", "\xE5\xA4\xB1\xE8\xB4\xA5"}}));
    ASSERT_TRUE(pumpUntil([&]() { return errors.size() == 2; }));

    EXPECT_EQ(Error(201, L""), errors[0]);
    EXPECT_EQ(Error(0, L"\u5931\u8d25"), errors[1]);
    EXPECT_EQ(0, returns);
    EXPECT_FALSE(client->rpc()->isBusy());
}

TEST_F(ProtocolClientTest, BusyCallThrowsAndLeavesThePendingCallAlone) {
    connect();
    int first = 0, second = 0;
    client->rpc()->call(
        L"one", Message(), [&](const Message&) { ++first; }, nullptr);
    try {
        client->rpc()->call(
            L"two", Message(), [&](const Message&) { ++second; }, nullptr);
        FAIL() << "expected Rpc busy";
    } catch (const kx::core::Exception& e) {
        EXPECT_EQ(String(L"Rpc busy"), e.message());
    }
    node->sendReturn(Message());
    ASSERT_TRUE(pumpUntil([&]() { return first == 1; }));
    EXPECT_EQ(0, second);
    ASSERT_TRUE(pumpUntil([&]() { return node->calls.size() == 1; }));
    pumpFor(5);
    EXPECT_EQ(1u, node->calls.size());  // the refused call never went out
}

TEST_F(ProtocolClientTest, ReturnHandlerMayCallAgain) {
    connect();
    std::vector<std::string> results;
    client->rpc()->call(
        L"first", Message(),
        [&](const Message& r) {
            results.push_back(r.get(L"n").toStdString());
            client->rpc()->call(
                L"second", Message(),
                [&](const Message& r2) { results.push_back(r2.get(L"n").toStdString()); }, nullptr);
        },
        nullptr);
    node->onCall = [](RawNode& n, const Message& m) {
        n.sendReturn(message({{L"n", RawNode::method(m) == L"first" ? "1" : "2"}}));
    };
    ASSERT_TRUE(pumpUntil([&]() { return results.size() == 2; }));
    EXPECT_EQ((std::vector<std::string>{"1", "2"}), results);
}

TEST_F(ProtocolClientTest, NonReturnMessagesPassThroughEvenWhileACallIsPending) {
    connect();
    int returns = 0;
    node->sendReturn(Message());  // a return with nothing pending
    ASSERT_TRUE(pumpUntil([&]() { return messages.size() == 1; }));
    client->rpc()->call(
        L"m", Message(), [&](const Message&) { ++returns; }, nullptr);
    node->sendMessage(message({{L"@", "push"}}));
    node->sendMessage(message({{L"other", "x"}}));
    ASSERT_TRUE(pumpUntil([&]() { return messages.size() == 3; }));
    EXPECT_EQ(0, returns);
    EXPECT_TRUE(client->rpc()->isBusy());
    node->sendReturn(Message());
    ASSERT_TRUE(pumpUntil([&]() { return returns == 1; }));
    EXPECT_EQ(3u, messages.size());
}

TEST_F(ProtocolClientTest, SilentNodeTimesOutAfterFourSecondsWithoutCallingHandlers) {
    connect();
    int handlers = 0;
    client->rpc()->call(
        L"m", Message(), [&](const Message&) { ++handlers; }, [&](const Error&) { ++handlers; });
    pumpFor(3);
    advance(3900);
    pumpFor(5);
    EXPECT_EQ("connected;", log);
    advance(200);
    ASSERT_TRUE(pumpUntil([this]() { return log.find("closed;") != std::string::npos; }));
    pumpFor(5);
    EXPECT_EQ("connected;timeout;closed;", log);
    EXPECT_EQ(0, handlers);
    EXPECT_FALSE(client->sendMessage(message({{L"k", "v"}})));  // the channel is gone
}

TEST_F(ProtocolClientTest, RefusedConnectReportsConnectFailed) {
    kx::net::SocketAddress closed = node->address();
    node.reset();  // nothing listens there any more
    client.reset(new ProtocolClient(selector.get(), closed));
    client->onConnectFailed = [this]() { log += "connect-failed;"; };
    client->onConnected = [this]() { log += "connected;"; };
    EXPECT_EQ(nullptr, client->rpc());
    EXPECT_FALSE(client->sendData(Binary("x")));
    client->abort();  // nothing to abort yet
    ASSERT_TRUE(pumpUntil([this]() { return !log.empty(); }));
    EXPECT_EQ("connect-failed;", log);
}
