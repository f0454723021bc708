#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "RawSwitchClient.h"
#include "core/src/time/Clock.h"
#include "lab_switch/SwitchLab.h"
#include "lab_switch/SwitchSession.h"
#include "net/src/channel/SizeHeaderTcpSocketChannel.h"
#include "net/src/channel/TcpSocketConnector.h"
#include "tunnel_client/protocol/LoginProof.h"
#include "tunnel_client/protocol/ProtocolFrame.h"
#include "tunnel_client/protocol/WireValue.h"

using kx::core::Binary;
using kx::core::String;
using tunnel::WireValue;
typedef kx::core::Dictionary<Binary> Message;

namespace {

// A bare client of the switch that sends whatever frames a test wants.
class SwitchServerTest : public ::testing::Test {
public:
    void SetUp() override {
        kx::core::Clock::resetForTests();
        selector.reset(new kx::net::SocketEventSelector(50));
        switches.reset(new lab::SwitchLab(selector.get()));
        lab::SwitchConfig config;
        config.listen = kx::net::SocketAddress(kx::net::IpAddress("127.0.0.1"), 0);
        config.accessKeys.append(L"key");
        String error;
        server = switches->add(config, &error);
        ASSERT_NE(nullptr, server) << error.toStdString();
    }
    void TearDown() override {
        kx::core::Clock::resetForTests();
        channel.reset();
        connector.reset();
        switches.reset();
        selector.reset();
    }

    bool pumpUntil(const std::function<bool()>& done, int limitMs = 2000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            selector->select(2);
            switches->tick();
        }
        return true;
    }

    void connect() {
        channel.reset();
        answers.clear();
        closed = false;
        connector.reset(new kx::net::TcpSocketConnector(selector.get()));
        connector->connect(
            server->address(),
            [this](kx::net::Socket* socket) {
                ASSERT_NE(nullptr, socket);
                channel.reset(
                    new kx::net::SizeHeaderTcpSocketChannel(socket, selector.get(), 1 << 20, 1024));
                channel->onClosed = [this]() { closed = true; };
                channel->onFrame = [this](Binary& frame) {
                    Message m;
                    tunnel::ProtocolFrame::decodeMessage(frame, &m);
                    answers.push_back(m);
                };
            },
            1000);
        ASSERT_TRUE(pumpUntil([this]() { return channel != nullptr; }));
    }
    void call(const wchar_t* method, Message params = Message()) {
        channel->send(labtest::callFrame(method, std::move(params)));
    }
    // zero_make and a good zero_login; two answers.
    void login() {
        call(L"zero_make");
        ASSERT_TRUE(pumpUntil([this]() { return answers.size() == 1; }));
        call(L"zero_login", labtest::loginParams(WireValue::text(answers[0], L"zero_id")));
        ASSERT_TRUE(pumpUntil([this]() { return answers.size() == 2; }));
        ASSERT_FALSE(answers[1].contains(L"error_code"));
    }
    int32_t errorOf(size_t index) { return WireValue::int32(answers.at(index), L"error_code"); }

    std::unique_ptr<kx::net::SocketEventSelector> selector;
    std::unique_ptr<lab::SwitchLab> switches;
    lab::SwitchServer* server = nullptr;
    std::unique_ptr<kx::net::TcpSocketConnector> connector;
    std::unique_ptr<kx::net::SizeHeaderTcpSocketChannel> channel;
    std::vector<Message> answers;
    bool closed = false;
};

}  // namespace

TEST_F(SwitchServerTest, GarbageIsIgnoredAndCallsAreAnsweredInOrder) {
    connect();
    for (const char* junk : {"\x05", "\x01\x01", "\x01\x01k", "\x01\x02\x01\x01", "\x02\x01@"}) {
        channel->send(Binary(junk));
    }
    Message notACall;
    notACall.set(L"@", Binary("return"));
    Binary frame;
    tunnel::ProtocolFrame::encodeMessage(notACall, &frame);
    channel->send(frame);

    call(L"tunnel_create");
    call(L"no_such_method");
    call(L"zero_login");  // no zero_make before it
    ASSERT_TRUE(pumpUntil([this]() { return answers.size() == 3; }));
    EXPECT_EQ(lab::SwitchSession::ERROR_NOT_LOGGED_IN, errorOf(0));
    EXPECT_EQ(lab::SwitchSession::ERROR_NOT_LOGGED_IN, errorOf(1));
    EXPECT_EQ(lab::SwitchSession::ERROR_ACCESS_DENIED, errorOf(2));
    EXPECT_EQ(Binary("Access denied"), answers[2].get(L"error_msg"));
}

TEST_F(SwitchServerTest, ZeroIdIsGoodForOneLoginOnly) {
    connect();
    call(L"zero_make");
    ASSERT_TRUE(pumpUntil([this]() { return answers.size() == 1; }));
    String zeroId = WireValue::text(answers[0], L"zero_id");
    EXPECT_EQ(16, zeroId.length());
    Message login;
    login.set(L"access_id", WireValue::fromText(tunnel::LoginProof::accessId(L"key")));
    login.set(L"zero_key", WireValue::fromText(
                               tunnel::LoginProof::compute(L"key", L"tok", L"ios", L"v", zeroId)));
    login.set(L"client_token", Binary("tok"));
    login.set(L"client_type", Binary("ios"));
    login.set(L"client_version", Binary("v"));
    call(L"zero_login", login);
    call(L"zero_login", login);
    ASSERT_TRUE(pumpUntil([this]() { return answers.size() == 3; }));
    EXPECT_FALSE(answers[1].contains(L"error_code"));
    EXPECT_EQ(lab::SwitchSession::ERROR_ACCESS_DENIED, errorOf(2));
}

TEST_F(SwitchServerTest, HostileFrameHeaderResetsOnlyThatConnection) {
    connect();
    kx::net::SizeHeaderTcpSocketChannel* first = channel.release();
    std::unique_ptr<kx::net::SizeHeaderTcpSocketChannel> keep(first);
    // A raw header below 4 is no frame at all; the switch drops the connection.
    const uint8_t raw[4] = {1, 0, 0, 0};
    keep->kx::net::TcpSocketChannel::send(Binary(raw, 4));
    ASSERT_TRUE(pumpUntil([this]() { return server->sessionCount() == 0 && closed; }));

    connect();
    call(L"zero_make");
    ASSERT_TRUE(pumpUntil([this]() { return answers.size() == 1; }));
    EXPECT_TRUE(answers[0].contains(L"zero_id"));
}

// Before login a connection may hold little: a small frame, a short time,
// and only as many connections as the switch admits. Each row is one way a
// client that never logs in tries to stay; the switch must drop it.
TEST_F(SwitchServerTest, ConnectionsThatDoNotLogInAreDroppedBeforeTheyPinMemory) {
    struct Case {
        const char* name;
        std::function<void(SwitchServerTest*)> act;
    };
    const Case cases[] = {
        {"a partial frame larger than any login call",
         [](SwitchServerTest* t) {
             // Announces 10 MiB and sends 8 KiB of it.
             Binary part;
             part.resize(8192 + 4);
             const int32_t announced = 10 * 1024 * 1024;
             for (int i = 0; i < 4; ++i) part[i] = uint8_t(announced >> (8 * i));
             t->channel->kx::net::TcpSocketChannel::send(part);
         }},
        {"a byte now and then but no login in time",
         [](SwitchServerTest* t) {
             const uint8_t header[2] = {64, 0};
             t->channel->kx::net::TcpSocketChannel::send(Binary(header, 2));
             t->pumpUntil([] { return false; }, 50);
             kx::core::Clock::advance(lab::SwitchSession::LOGIN_TIMEOUT_MS / 2);
             t->channel->kx::net::TcpSocketChannel::send(Binary(header, 1));
             t->pumpUntil([] { return false; }, 50);
             kx::core::Clock::advance(lab::SwitchSession::LOGIN_TIMEOUT_MS / 2 + 100);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        connect();
        ASSERT_TRUE(pumpUntil([this] { return server->sessionCount() == 1; }));
        c.act(this);
        EXPECT_TRUE(pumpUntil([this] { return closed && server->sessionCount() == 0; }));
    }
    // A logged-in connection may send frames of any size the stream allows.
    connect();
    login();
    Binary big;
    big.resize(60000);
    big[0] = 0x01;
    big[1] = 0x02;
    channel->send(big);
    call(L"latency_query");
    ASSERT_TRUE(pumpUntil([this] { return answers.size() == 3; }));
    EXPECT_FALSE(closed);
}

TEST_F(SwitchServerTest, ConnectionsOverTheCapAreClosedAtOnce) {
    lab::SwitchConfig config = server->config();
    config.listen = kx::net::SocketAddress(kx::net::IpAddress("127.0.0.1"), 0);
    config.maxConnections = 3;
    String error;
    server = switches->add(config, &error);
    ASSERT_NE(nullptr, server) << error.toStdString();
    std::vector<std::unique_ptr<kx::net::Socket>> sockets;
    for (int i = 0; i < 5; ++i) {
        sockets.emplace_back(new kx::net::Socket(kx::net::Socket::TYPE_TCP));
        ASSERT_TRUE(sockets.back()->connect(server->address()));
        ASSERT_TRUE(pumpUntil([this, i] { return server->acceptedCount() == i + 1; }));
    }
    EXPECT_EQ(3, server->sessionCount());
    EXPECT_EQ(2, server->turnedAwayCount());
    // A place frees up when a connection goes.
    sockets[0]->close();
    ASSERT_TRUE(pumpUntil([this] { return server->sessionCount() == 2; }));
    connect();
    call(L"zero_make");
    ASSERT_TRUE(pumpUntil([this] { return answers.size() == 1; }));
    EXPECT_EQ(3, server->sessionCount());
}
