#pragma once

// Test support for node clients: a lab switch or a scripted raw node on the
// test's own selector, and a bounded pump that drives everything on it.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "core/src/time/Clock.h"
#include "core/src/value/Binary.h"
#include "core/src/value/Dictionary.h"
#include "lab_switch/SwitchLab.h"
#include "net/src/channel/SizeHeaderTcpSocketChannel.h"
#include "net/src/channel/TcpSocketAccepter.h"
#include "net/src/socket/SocketEventSelector.h"
#include "tunnel_client/client/Error.h"
#include "tunnel_client/client/IDownstream.h"
#include "tunnel_client/client/LoginInfo.h"
#include "tunnel_client/protocol/ProtocolFrame.h"
#include "tunnel_client/protocol/ProtocolWire.h"
#include "tunnel_client/protocol/WireValue.h"

namespace nodetest {

typedef kx::core::Dictionary<kx::core::Binary> Message;

inline Message message(std::initializer_list<std::pair<const wchar_t*, const char*>> items) {
    Message m;
    for (const auto& item : items) m.set(item.first, kx::core::Binary(item.second));
    return m;
}

inline kx::core::Binary bytes(std::initializer_list<int> values) {
    kx::core::Binary b;
    for (int v : values) b.append(static_cast<uint8_t>(v));
    return b;
}

// A node we script by hand: accepts one connection at a time and hands each
// decoded message to onCall; the test answers with whatever frames it likes.
class RawNode {
public:
    std::function<void(RawNode&, const Message&)> onCall;

    explicit RawNode(kx::net::SocketEventSelector* selector)
        : m_selector(selector),
          m_accepter(selector, kx::net::SocketAddress(kx::net::IpAddress("127.0.0.1"), 0)) {
        m_accepter.onAccept = [this](kx::net::Socket* socket) {
            m_channel.reset(new kx::net::SizeHeaderTcpSocketChannel(
                socket, m_selector, tunnel::wire::STREAM_BUFFER_LIMIT,
                tunnel::wire::STREAM_BUFFER_KEEP));
            m_channel->setIdleTimeout(0);
            m_channel->onClosed = [this]() { ++closedCount; };
            m_channel->onFrame = [this](kx::core::Binary& frame) {
                frames.push_back(frame);
                if (tunnel::ProtocolFrame::kindOf(frame) != tunnel::wire::FRAME_KIND_MESSAGE)
                    return;
                Message m;
                tunnel::ProtocolFrame::decodeMessage(frame, &m);
                calls.push_back(m);
                if (onCall) onCall(*this, m);
            };
        };
    }

    kx::net::SocketAddress address() const { return m_accepter.localAddress(); }

    void sendFrame(const kx::core::Binary& payload) {
        if (m_channel) m_channel->send(payload);
    }
    void sendMessage(const Message& m) {
        kx::core::Binary payload;
        tunnel::ProtocolFrame::encodeMessage(m, &payload);
        sendFrame(payload);
    }
    void sendReturn(Message m) {
        m.set(tunnel::wire::KEY_KIND, kx::core::Binary("return"));
        sendMessage(m);
    }
    void sendData(const kx::core::Binary& packet) {
        kx::core::Binary payload;
        tunnel::ProtocolFrame::encodeData(packet, &payload);
        sendFrame(payload);
    }
    void close() {
        if (m_channel) m_channel->closeGracefully();
    }
    static kx::core::String method(const Message& m) {
        return tunnel::WireValue::text(m, tunnel::wire::KEY_METHOD);
    }

    // Answers the login calls with success; "zero_make" gives zeroId.
    void acceptLogins(const char* zeroId = "zid") {
        std::string id = zeroId;
        onCall = [id](RawNode& node, const Message& m) {
            kx::core::String name = method(m);
            if (name == L"zero_make") node.sendReturn(message({{L"zero_id", id.c_str()}}));
            if (name == L"zero_login") node.sendReturn(Message());
        };
    }

    std::vector<Message> calls;
    std::vector<kx::core::Binary> frames;
    int closedCount = 0;

private:
    kx::net::SocketEventSelector* m_selector;
    kx::net::TcpSocketAccepter m_accepter;
    std::unique_ptr<kx::net::SizeHeaderTcpSocketChannel> m_channel;
};

// Collects what a tunnel data client delivers.
class CapturingDownstream : public tunnel::IDownstream {
public:
    void receive(const kx::core::Binary& packet) override { packets.push_back(packet); }
    std::vector<kx::core::Binary> packets;
};

// A lab switch and a raw node on one selector, with a pump bounded in real time.
class NodeTest : public ::testing::Test {
protected:
    static constexpr const wchar_t* ACCESS_KEY = L"key-\u5bc6\u94a5";

    void SetUp() override {
        kx::core::Clock::resetForTests();
        selector.reset(new kx::net::SocketEventSelector(50));
        switches.reset(new lab::SwitchLab(selector.get()));
        server = addSwitch();
        ASSERT_NE(nullptr, server);
        login.accessKey = ACCESS_KEY;
        login.clientToken = L"token-1";
        login.clientVersion = L"1.0.0";
    }

    void TearDown() override {
        ticks.clear();
        switches.reset();
        selector.reset();
        kx::core::Clock::resetForTests();
    }

    lab::SwitchServer* addSwitch() {
        lab::SwitchConfig config;
        config.listen = kx::net::SocketAddress(kx::net::IpAddress("127.0.0.1"), 0);
        config.accessKeys.append(ACCESS_KEY);
        config.latency = 30;
        kx::core::String error;
        lab::SwitchServer* added = switches->add(config, &error);
        EXPECT_NE(nullptr, added) << error.toStdString();
        return added;
    }

    // Runs rounds until done() holds or about two real seconds pass.
    bool pumpUntil(const std::function<bool()>& done, int limitMs = 2000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            round();
        }
        return true;
    }
    // A few rounds with nothing awaited.
    void pumpFor(int rounds) {
        for (int i = 0; i < rounds; ++i) round();
    }
    void round() {
        selector->select(2);
        switches->tick();
        for (auto& tick : ticks) tick();
    }

    // Moves the shared clock; handlers see it on their next tick.
    void advance(int64_t ms) { kx::core::Clock::advance(ms); }

    std::unique_ptr<kx::net::SocketEventSelector> selector;
    std::unique_ptr<lab::SwitchLab> switches;
    lab::SwitchServer* server = nullptr;
    tunnel::LoginInfo login;
    std::vector<std::function<void()>> ticks;
};

}  // namespace nodetest
