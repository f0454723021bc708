#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include "core/src/time/Clock.h"
#include "lab_network/LabNetwork.h"
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

namespace {

const uint16_t SOURCE_PORT = 4001;

// A switch relaying an endless source, and one logged-in client that reads
// what the switch sends on one stream and checks its numbering.
class SwitchFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        kx::core::Clock::resetForTests();
        selector.reset(new kx::net::SocketEventSelector(20));
        network.reset(new lab::LabNetwork(selector.get()));
        lab::LabConfig config;
        String error;
        ASSERT_TRUE(lab::LabConfig::fromJson(
            L"{\"switches\": [{\"name\": \"a\", \"listen\": \"127.0.0.1:0\", "
            L"\"access_keys\": [\"key\"], \"fault\": \"ignore_window\"}],"
            L"\"backends\": [{\"name\": \"source\", \"kind\": \"tcp_source\", "
            L"\"listen\": \"127.0.0.1:0\"}],"
            L"\"routes\": [{\"target_id\": 3, \"client_port\": 4001, \"backend\": \"source\"}]}",
            &config, &error))
            << error.toStdString();
        ASSERT_TRUE(network->start(config, &error)) << error.toStdString();
    }
    void TearDown() override {
        channel.reset();
        connector.reset();
        network.reset();
        selector.reset();
        kx::core::Clock::resetForTests();
    }

    bool pumpUntil(const std::function<bool()>& done, int limitMs = 3000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            selector->select(2);
            network->tick();
        }
        return true;
    }

    void onFrame(Binary& frame) {
        if (tunnel::ProtocolFrame::kindOf(frame) != tunnel::wire::FRAME_KIND_DATA) {
            ++answers;
            Message m;
            tunnel::ProtocolFrame::decodeMessage(frame, &m);
            if (m.contains(L"error_code")) ++errors;
            if (m.contains(L"zero_id")) zeroId = WireValue::text(m, L"zero_id");
            return;
        }
        TunnelPacket packet(frame.data() + 2, frame.length() - 2);
        if (packet.isAck()) return;
        if (packet.sequence() != nextSequence) misnumbered = true;
        nextSequence = packet.sequence() + 1;
        const uint8_t* data = nullptr;
        int32_t length = 0;
        if (packet.kind() != TunnelPacket::KIND_DATA || !packet.payload(&data, &length)) return;
        if (length > tunnel::wire::MAX_PIECE) oversized = true;
        received += length;
    }
    void call(const wchar_t* method, Message params = Message()) {
        params.set(L"@", Binary("call"));
        params.set(L"method", WireValue::fromText(method));
        Binary frame;
        tunnel::ProtocolFrame::encodeMessage(params, &frame);
        channel->send(frame);
    }
    void sendPacket(Binary packet) {
        TunnelPacket::writeSequence(packet, clientSequence++);
        Binary frame;
        tunnel::ProtocolFrame::encodeData(packet, &frame);
        channel->send(frame);
    }

    // Logs in, creates a tunnel and opens one stream to the source, granting
    // the switch `grant` bytes.
    void openSourceStream(uint32_t grant) {
        connector.reset(new kx::net::TcpSocketConnector(selector.get()));
        connector->connect(
            network->findSwitch(L"a")->address(),
            [this](kx::net::Socket* socket) {
                if (!socket) return;
                channel.reset(new kx::net::SizeHeaderTcpSocketChannel(socket, selector.get(),
                                                                      1 << 24, 1024));
                channel->onFrame = [this](Binary& frame) { onFrame(frame); };
            },
            1000);
        ASSERT_TRUE(pumpUntil([this] { return channel != nullptr; }));
        call(L"zero_make");
        ASSERT_TRUE(pumpUntil([this] { return answers == 1; }));
        Message login;
        login.set(L"access_id", WireValue::fromText(tunnel::LoginProof::accessId(L"key")));
        login.set(L"zero_key", WireValue::fromText(tunnel::LoginProof::compute(
                                   L"key", L"t", L"ios", L"v", zeroId)));
        login.set(L"client_token", Binary("t"));
        login.set(L"client_type", Binary("ios"));
        login.set(L"client_version", Binary("v"));
        call(L"zero_login", login);
        Message create;
        create.set(L"target_id", Binary("3"));
        call(L"tunnel_create", create);
        ASSERT_TRUE(pumpUntil([this] { return answers == 3; }));
        ASSERT_EQ(0, errors);
        sendPacket(TunnelPacket::buildOpen(TunnelPacket::CLASS_TCP, 5, SOURCE_PORT));
        sendPacket(TunnelPacket::buildWindow(TunnelPacket::CLASS_TCP, 5, grant));
    }

    std::unique_ptr<kx::net::SocketEventSelector> selector;
    std::unique_ptr<lab::LabNetwork> network;
    std::unique_ptr<kx::net::TcpSocketConnector> connector;
    std::unique_ptr<kx::net::SizeHeaderTcpSocketChannel> channel;
    int answers = 0;
    int errors = 0;
    String zeroId;
    uint32_t clientSequence = 0;
    uint32_t nextSequence = 0;
    bool misnumbered = false;
    bool oversized = false;
    int64_t received = 0;
};

}  // namespace

TEST_F(SwitchFaultTest, IgnoreWindowSendsPastTheGrantOnlyWhileTheFaultIsOn) {
    const uint32_t GRANT = 1000;
    struct Case {
        const char* fault;
        bool beyond;
    } cases[] = {{"none", false}, {"ignore_window", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        // A fresh connection and tunnel for each fault.
        channel.reset();
        answers = errors = 0;
        clientSequence = nextSequence = 0;
        received = 0;
        ASSERT_EQ(std::string("ok fault a ") + c.fault,
                  network->command(std::string("fault a ") + c.fault));
        openSourceStream(GRANT);
        if (c.beyond) {
            // Nothing acknowledges; the switch keeps at most its backup capacity.
            EXPECT_TRUE(pumpUntil([this] { return received > 4 * 131072; }));
        } else {
            EXPECT_TRUE(pumpUntil([this] { return received == GRANT; }));
            pumpUntil([] { return false; }, 200);
            EXPECT_EQ(GRANT, received);
        }
        EXPECT_FALSE(misnumbered);
        EXPECT_FALSE(oversized);
    }
}

TEST_F(SwitchFaultTest, IgnoreWindowIsNamedInTheConfigAndStatus) {
    EXPECT_EQ(lab::SwitchFault::IGNORE_WINDOW, network->findSwitch(L"a")->config().fault);
    lab::SwitchFault fault = lab::SwitchFault::NONE;
    ASSERT_TRUE(lab::SwitchFaults::parse(L"ignore_window", &fault));
    EXPECT_STREQ(L"ignore_window", lab::SwitchFaults::name(fault));
    EXPECT_EQ("error unknown fault", network->command("fault a ignore_windows"));
}
