#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "core/src/time/Clock.h"
#include "e2e/DelayRelay.h"
#include "e2e/LineLogger.h"
#include "lab_client/EchoClient.h"
#include "lab_network/LabNetwork.h"
#include "lab_switch/RelayStream.h"
#include "lab_switch/SwitchSession.h"
#include "lab_switch/TunnelLink.h"
#include "tunnel_client/TunnelClient.h"
#include "tunnel_client/forward/TcpForward.h"
#include "tunnel_client/forward/TcpForwardDataChannel.h"
#include "tunnel_client/forward/TcpForwardManager.h"
#include "tunnel_client/forward/UdpForward.h"
#include "tunnel_client/forward/UdpForwardManager.h"

namespace e2e {

using kx::core::String;
using kx::net::IpAddress;
using kx::net::SocketAddress;
using lab::EchoClient;

// One SDK tunnel client and the lab (two switches, echo back ends) on one
// selector, pumped by the test thread; the application's side runs blocking
// on a thread of its own. The addresses are a Layout's: IPv4 loopback unless
// a test asks for others.
class TunnelRelayFixture : public ::testing::Test {
public:
    static constexpr int64_t TARGET = 1;

    // Where the switches "a" and "b", the back ends and the client's local
    // ports listen, and what the switches answer to a latency query.
    struct Layout {
        String switchA = L"127.0.0.1:0";
        int32_t latencyA = 30;
        String switchB = L"127.1.0.1:0";
        int32_t latencyB = 45;
        String backends = L"127.0.0.1:0";
        IpAddress clientIp = IpAddress("127.0.0.1");
        String api;  // the lab's control API (plain HTTP, API_TEA); empty: none
    };
    static constexpr const wchar_t* API_TEA = L"tea(e2e-api)";
    // Everything on ::1.
    static Layout ipv6() {
        Layout layout;
        layout.switchA = layout.switchB = layout.backends = L"[::1]:0";
        layout.clientIp = IpAddress("::1");
        return layout;
    }

protected:
    void SetUp() override {
        kx::core::Clock::resetForTests();
        ::testing::internal::CaptureStdout();  // the selector's console lines
    }
    void TearDown() override {
        client.reset();
        delay.reset();
        network.reset();
        selector.reset();
        // Failure messages went into the capture too: show them.
        std::string captured = ::testing::internal::GetCapturedStdout();
        if (HasFailure()) std::cerr << captured;
    }

    // With oneWayMs, the SDK reaches only switch "a", through a relay that
    // delays every byte by that much each way.
    void start(const String& forwardKey, int oneWayMs = 0) {
        start(forwardKey, oneWayMs, Layout());
    }
    void start(const String& forwardKey, int oneWayMs, const Layout& layout) {
        selector.reset(new kx::net::SocketEventSelector(50));
        network.reset(new lab::LabNetwork(selector.get()));
        clientIp = layout.clientIp;
        lab::LabConfig config;
        String error;
        auto sw = [](const wchar_t* name, const String& listen, int32_t latency) {
            return String(L"{\"name\": \"") + name + L"\", \"listen\": \"" + listen +
                   L"\", \"access_keys\": [\"e2e-access-key\"], \"latency\": " +
                   String::fromInt32(latency) + L"}";
        };
        auto backend = [&](const wchar_t* name, const wchar_t* kind) {
            return String(L"{\"name\": \"") + name + L"\", \"kind\": \"" + kind +
                   L"\", \"listen\": \"" + layout.backends + L"\"}";
        };
        ASSERT_TRUE(lab::LabConfig::fromJson(
            String(L"{\"forward_key\": \"") + forwardKey + L"\", \"switches\": [" +
                sw(L"a", layout.switchA, layout.latencyA) + L"," +
                sw(L"b", layout.switchB, layout.latencyB) + L"], \"backends\": [" +
                backend(L"echo", L"tcp_echo") + L"," + backend(L"udp", L"udp_echo") + L"," +
                backend(L"source", L"tcp_source") + L"]" +
                (layout.api.isEmpty() ? String()
                                      : String(L", \"api\": {\"listen\": \"") + layout.api +
                                            L"\", \"tea\": \"" + API_TEA + L"\"}") +
                L"}",
            &config, &error))
            << error.toStdString();
        ASSERT_TRUE(network->start(config, &error)) << error.toStdString();

        tunnel::LoginInfo login;
        login.accessKey = L"e2e-access-key";
        login.clientToken = L"e2e-token";
        login.clientVersion = L"1.0.0";
        client.reset(new tunnel::TunnelClient(&logger, selector.get(), login, TARGET,
                                              layout.clientIp, kx::core::Array<IpAddress>(),
                                              forwardKey, true));
        if (oneWayMs > 0) {
            delay.reset(new e2e::DelayRelay(network->switches().servers()[0]->address(), oneWayMs));
            ASSERT_TRUE(delay->start());
            ASSERT_TRUE(client->addNode(delay->address(), L"standard"));
        } else {
            for (const auto& server : network->switches().servers())
                ASSERT_TRUE(client->addNode(server->address(), L"standard"));
        }
        ASSERT_TRUE(client->addTcpForward(0, 0));
        ASSERT_TRUE(client->addUdpForward(0, 0));
        ASSERT_TRUE(client->addTcpForward(0, 0));
        tcpPort =
            uint16_t(client->forwardTunnel()->tcpForwardManager()->forwards()[0]->clientPort());
        udpPort =
            uint16_t(client->forwardTunnel()->udpForwardManager()->forwards()[0]->clientPort());
        sourcePort =
            uint16_t(client->forwardTunnel()->tcpForwardManager()->forwards()[1]->clientPort());
        SocketAddress echo, udp, source;
        ASSERT_TRUE(network->backendAddress(L"source", &source));
        network->relay().addRoute(TARGET, sourcePort, false, source);
        ASSERT_TRUE(network->backendAddress(L"echo", &echo));
        ASSERT_TRUE(network->backendAddress(L"udp", &udp));
        network->relay().addRoute(TARGET, tcpPort, false, echo);
        network->relay().addRoute(TARGET, udpPort, true, udp);
        ASSERT_TRUE(pumpUntil(
            [&] { return client->isConnected() && client->forwardTunnel()->isOpen(); }, 5000))
            << logger.all();
    }

    // A local port of the client's forwards, as an application reaches it.
    SocketAddress local(uint16_t port) const { return SocketAddress(clientIp, port); }

    void round() {
        selector->select(2);
        client->tick();
        network->tick();
    }
    bool pumpUntil(const std::function<bool()>& done, int limitMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            round();
        }
        return true;
    }
    // Pumps the loop while work runs on another thread; false when it overran.
    bool runBeside(const std::function<void()>& work, int limitMs,
                   const std::function<void()>& eachRound = nullptr) {
        std::atomic<bool> done{false};
        std::thread thread([&] {
            work();
            done = true;
        });
        bool finished = pumpUntil(
            [&] {
                if (eachRound) eachRound();
                return done.load();
            },
            limitMs);
        if (!finished) {
            // The work's own limits end it soon; keep the loop going meanwhile.
            pumpUntil([&] { return done.load(); }, 60000);
        }
        thread.join();
        return finished;
    }
    lab::TunnelLink* link() {
        lab::TunnelRecord* record =
            network->switches().table().find(client->upstreamBindService()->tunnelInfo().tunnelId);
        return record ? record->link.get() : nullptr;
    }

    // The largest windows seen so far on either end of each open stream of
    // the first TCP forward: the SDK's towards the application, the switch's
    // towards the back end.
    void sampleWindows(int64_t* sdk, int64_t* lab) {
        lab::TunnelLink* tunnelLink = link();
        if (!tunnelLink) return;
        tunnel::TcpForward* forward = client->forwardTunnel()->tcpForwardManager()->forwards()[0];
        for (const auto& item : tunnelLink->streams()) {
            *lab = std::max(*lab, item.second->clientWindow());
            tunnel::TcpForwardDataChannel* channel = forward->dataChannel(item.first);
            if (channel) *sdk = std::max(*sdk, channel->windowTarget());
        }
    }

    // An echo of 8 MB through a 20 ms (each way) link, with the switch's
    // windows capped at switchMaxWindow: byte-exact, and the largest windows
    // seen on both ends.
    void echoOverALongLink(int64_t switchMaxWindow, int64_t* sdkWindow, int64_t* labWindow) {
        start(L"forward-key", 20);
        network->relay().setMaxWindow(switchMaxWindow);
        EchoClient::Result result;
        ASSERT_TRUE(runBeside([&] { result = EchoClient::tcpEcho(tcpPort, 8000000, 30000, 5); },
                              40000, [&] { sampleWindows(sdkWindow, labWindow); }));
        EXPECT_TRUE(result.ok) << result.error << "\n" << logger.all();
        EXPECT_EQ(8000000, result.received);
        EXPECT_EQ(result.sentMd5, result.receivedMd5);
    }

    // Echoes `total` bytes through the TCP forward (after `before`, on the
    // same application thread) and takes the bound switch, a, down once half
    // of it came back: the stream ends byte-exact and b holds the tunnel.
    void echoWhileTheBoundSwitchGoesDown(int64_t total, int limitMs,
                                         const std::function<void()>& before = nullptr) {
        std::atomic<bool> halfway{false};
        bool downed = false;
        std::string answer;
        EchoClient::Result result;
        ASSERT_TRUE(runBeside(
            [&] {
                if (before) before();
                result = EchoClient::tcpEcho(local(tcpPort), total, 30000, 3,
                                             [&](int64_t received) {
                                                 if (received >= total / 2) halfway = true;
                                             });
            },
            limitMs,
            [&] {
                if (halfway && !downed) {
                    downed = true;
                    answer = network->command("down bound");
                }
            }));
        EXPECT_EQ("ok down a", answer);
        EXPECT_TRUE(result.ok) << result.error << "\n" << logger.all();
        EXPECT_EQ(result.sentMd5, result.receivedMd5);
        EXPECT_TRUE(logger.hasPrefix("I [Client] Tunnel attached. Switch:")) << logger.all();
        ASSERT_NE(nullptr, link());
        EXPECT_EQ(network->findSwitch(L"b")->sessions()[0].get(), link()->holder());
    }

    LineLogger logger;
    std::unique_ptr<e2e::DelayRelay> delay;
    std::unique_ptr<kx::net::SocketEventSelector> selector;
    std::unique_ptr<lab::LabNetwork> network;
    std::unique_ptr<tunnel::TunnelClient> client;
    uint16_t tcpPort = 0;
    uint16_t udpPort = 0;
    uint16_t sourcePort = 0;
    IpAddress clientIp;
};

}  // namespace e2e
