#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/src/time/Clock.h"
#include "lab_switch/SwitchLab.h"
#include "net/src/socket/Socket.h"
#include "service/ServiceTestSupport.h"
#include "tunnel_client/TunnelClient.h"
#include "tunnel_client/forward/TcpForward.h"
#include "tunnel_client/forward/TcpForwardManager.h"
#include "tunnel_client/node/NodeManager.h"
#include "tunnel_host/StopSignal.h"
#include "tunnel_host/TargetConfig.h"
#include "tunnel_launcher/TrafficMeter.h"
#include "tunnel_host/TunnelHost.h"

using kx::core::Clock;
using kx::core::String;
using kx::net::IpAddress;
using kx::net::SocketAddress;
using tunnel::TargetConfig;
using tunnel::TunnelHost;
using tunnel::testing::RecordingLogger;

namespace {

const wchar_t* const ACCESS_KEY = L"host-key";

TargetConfig parse(const std::string& json) {
    TargetConfig config;
    String error;
    EXPECT_TRUE(TargetConfig::fromJson(String::fromUtf8(json), &config, &error))
        << error.toStdString();
    return config;
}

class TunnelHostTest : public ::testing::Test {
protected:
    void SetUp() override { Clock::resetForTests(); }
    void TearDown() override { Clock::resetForTests(); }

    RecordingLogger logger;
};

TEST_F(TunnelHostTest, BuildsOneClientPerTargetWithTheLauncherLogLines) {
    TunnelHost host(&logger);
    ASSERT_TRUE(host.start(parse(R"({"access_key": "k", "fast_tick_enabled": true, "targets": [
        {"id": 11, "nodes": [
            {"ip": "10.1.2.3", "port": 443, "type": "standard", "latency": 25},
            {"ip": "10.1.2.3", "port": 443, "type": "bandwidth"},
            "skipped"],
         "forwards": [
            {"protocol": "TCP", "client_port": 0},
            {"protocol": "udp", "client_port": 0},
            {"protocol": "sctp", "client_port": 18001, "range": 1},
            {"protocol": "tcp", "client_port": 18001, "range": -5}]},
        "not a target",
        {"id": "12"}
    ]})")));
    ASSERT_EQ(host.clientCount(), 2);
    EXPECT_EQ(host.client(0)->targetId(), 11);
    EXPECT_EQ(host.client(1)->targetId(), 12);
    EXPECT_EQ(host.client(0)->nodeManager()->nodes().size(), 1);
    EXPECT_EQ(host.client(0)->localIp(), IpAddress("127.0.0.1"));
    EXPECT_EQ(host.client(0)->loginInfo().accessKey, String(L"k"));

    EXPECT_TRUE(logger.has("I [Launcher] Node 10.1.2.3:443 added on type standard below 25ms"));
    EXPECT_TRUE(logger.has("E [Launcher] Failed to add node 10.1.2.3:443"));
    EXPECT_TRUE(logger.has("I [Launcher] TCP forward added on 127.0.0.1:0"));
    EXPECT_TRUE(logger.has("I [Launcher] UDP forward added on 127.0.0.1:0"));
    EXPECT_EQ(logger.count("E [Launcher] Protocol is not supported: 'sctp' on 127.0.0.1:18001"), 1);
    EXPECT_EQ(logger.count("E [Launcher] Protocol is not supported: 'sctp' on 127.0.0.1:18002"), 1);
    EXPECT_FALSE(logger.hasPrefix("E [Launcher] Failed to add forward"));  // negative range
    EXPECT_TRUE(logger.has("I [Launcher] Client-0 has been inited for Target #11 (FastTick:true)"));
    EXPECT_TRUE(logger.has("I [Launcher] Client-1 has been inited for Target #12 (FastTick:true)"));
    EXPECT_EQ(host.client(0)->connectionCount(), 0);
}

TEST_F(TunnelHostTest, AddressesThatWouldReachTheWrongPlaceAreRefused) {
    TunnelHost host(&logger);
    ASSERT_TRUE(host.start(parse(R"({"targets": [
        {"id": 5, "client_ip": "localhost",
         "standbys": [{"ip": "nonsense"}, {"ip": "10.0.0.7"}],
         "nodes": [{"ip": "switch.example", "port": 443},
                   {"ip": "10.1.2.3", "port": 70000},
                   {"ip": "10.1.2.3", "port": 0},
                   {"ip": "10.1.2.3", "port": 444}],
         "forwards": [{"protocol": "tcp", "client_port": 0}]}
    ]})")));
    ASSERT_EQ(host.clientCount(), 1);
    // A mistyped client_ip must not open the forwards on every interface.
    EXPECT_EQ(host.client(0)->localIp(), IpAddress("127.0.0.1"));
    EXPECT_TRUE(
        logger.has("W [Launcher] Target #5: client_ip 'localhost' is not an IPv4 address, "
                   "listening on 127.0.0.1"));
    EXPECT_TRUE(logger.has("I [Launcher] TCP forward added on 127.0.0.1:0"));
    EXPECT_EQ(
        logger.count("W [Launcher] Target #5: standby address that is not an IPv4 address skipped"), 1);
    // Address 0 would dial this machine; port 70000 would be cut to 4464.
    EXPECT_TRUE(logger.has("E [Launcher] Failed to add node switch.example:443"));
    EXPECT_TRUE(logger.has("E [Launcher] Failed to add node 10.1.2.3:70000"));
    EXPECT_TRUE(logger.has("E [Launcher] Failed to add node 10.1.2.3:0"));
    ASSERT_EQ(host.client(0)->nodeManager()->nodes().size(), 1);
    EXPECT_EQ(host.client(0)->nodeManager()->nodes()[0]->address().port, 444);
}

TEST_F(TunnelHostTest, WithoutUsableTargetsTheStartFails) {
    TunnelHost host(&logger);
    EXPECT_FALSE(host.start(parse(R"({"targets": [1, "two", null]})")));
    EXPECT_EQ(host.errorText(), String(L"No usable targets"));
    EXPECT_EQ(host.clientCount(), 0);
    EXPECT_FALSE(host.start(parse(R"({"targets": [{}]})")));  // only once
}

TEST_F(TunnelHostTest, DurationEndsTheLoopAndStatusComesOncePerSecond) {
    Clock::freeze(50000000);  // only the rounds move time
    TunnelHost host(&logger);
    ASSERT_TRUE(host.start(parse(R"({"targets": [{"id": 7}]})")));
    std::vector<std::string> status;
    host.onStatus = [&](const String& line) { status.push_back(line.toStdString()); };
    int rounds = 0;
    host.onRound = [&] {
        ++rounds;
        Clock::advance(250);
    };
    std::atomic<bool> stop{false};
    host.run(stop, 3000);
    EXPECT_EQ(rounds, 12);
    EXPECT_EQ(status.size(), 3u);
    // No nodes: the first selection gives up and says why.
    EXPECT_EQ(status.back(),
              "[Host] Target #7 switch none, idle, connections 0, received 0 B/s, sent 0 B/s, "
              "last error: No switchs are available");

    stop = true;
    rounds = 0;
    host.run(stop, -1);
    EXPECT_EQ(rounds, 0);
}

// The loop on loopback against a lab switch: connects, counts a local
// connection, stops on the flag and tears the clients down before the selector.
TEST_F(TunnelHostTest, StartsAgainstALabSwitchAndStopsCleanly) {
    std::unique_ptr<TunnelHost> host(new TunnelHost(&logger));
    std::unique_ptr<lab::SwitchLab> switches(new lab::SwitchLab(host->selector()));
    lab::SwitchConfig switchConfig;
    switchConfig.listen = SocketAddress(IpAddress("127.0.0.1"), 0);
    switchConfig.accessKeys.append(ACCESS_KEY);
    String error;
    lab::SwitchServer* server = switches->add(switchConfig, &error);
    ASSERT_NE(server, nullptr) << error.toStdString();
    const std::string port = std::to_string(server->address().port);

    ASSERT_TRUE(host->start(
        parse(std::string(
                  R"({"access_key": "host-key", "token": "t", "version": "1.0.0", "targets": [)") +
              R"({"id": 3, "nodes": [{"ip": "127.0.0.1", "port": )" + port +
              R"(, "type": "standard"}],)" +
              R"("forwards": [{"protocol": "tcp", "client_port": 0, "standby_port": 1}]}]})")));

    std::unique_ptr<kx::net::Socket> app;
    std::atomic<bool> stop{false};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    host->onRound = [&] {
        switches->tick();
        if (std::chrono::steady_clock::now() > deadline) stop = true;
        tunnel::TunnelClient* client = host->client(0);
        if (!app && client->isConnected() && client->forwardTunnel()->isOpen()) {
            tunnel::TcpForward* forward =
                client->forwardTunnel()->tcpForwardManager()->forwards()[0];
            app.reset(new kx::net::Socket(kx::net::Socket::TYPE_TCP));
            app->connect(SocketAddress(IpAddress("127.0.0.1"), uint16_t(forward->clientPort())));
        }
        if (app && client->connectionCount() == 1) stop = true;
    };
    ::testing::internal::CaptureStdout();
    host->run(stop, -1);
    ::testing::internal::GetCapturedStdout();

    ASSERT_TRUE(host->client(0)->isConnected()) << logger.all();
    ASSERT_EQ(host->client(0)->connectionCount(), 1) << logger.all();
    kx::core::Array<String> status = host->takeStatus();
    ASSERT_EQ(status.size(), 1);
    EXPECT_EQ(
        status[0].toStdString().rfind(
            "[Host] Target #3 switch 127.*.*.1:" + port + ", open, connections 1, received ", 0),
        0u)
        << status[0].toStdString();

    host->onRound = nullptr;
    switches.reset();  // its servers hang on the host's selector
    host.reset();
    EXPECT_TRUE(logger.has("I [Client] Unbind with 127.*.*.1:" + port)) << logger.all();
    EXPECT_EQ(logger.lines.back(), "I [Launcher] All Clients Removed.");
}

TEST(TrafficMeterTest, AWindowRollBetweenSamplesNeitherLosesNorDoublesBytes) {
    tunnel::Counter counter;
    tunnel::TrafficMeter meter;
    counter.add(100);
    meter.sample(counter);
    EXPECT_EQ(meter.total(), 100);
    meter.sample(counter);
    EXPECT_EQ(meter.total(), 100);

    // 50 more before the roll, 30 after it: the running value went down.
    counter.add(50);
    counter.roll();
    counter.add(30);
    meter.sample(counter);
    EXPECT_EQ(meter.total(), 180);

    // The new window already holds more than the last sample saw: the changed
    // last window gives the roll away.
    counter.add(5);
    counter.roll();  // last 35
    counter.add(40);
    meter.sample(counter);
    EXPECT_EQ(meter.total(), 225);

    counter.roll();  // an idle window
    counter.roll();
    meter.sample(counter);
    EXPECT_EQ(meter.total(), 225);
}

TEST(StopSignalTest, InterruptAndTerminateSetTheFlagOnce) {
    tunnel::StopSignal::clear();
    ASSERT_TRUE(tunnel::StopSignal::install());
    EXPECT_FALSE(tunnel::StopSignal::isRaised());
    raise(SIGINT);
    EXPECT_TRUE(tunnel::StopSignal::isRaised());

    tunnel::StopSignal::clear();
    ASSERT_TRUE(tunnel::StopSignal::install());  // SIGINT went back to its default
    raise(SIGTERM);
    EXPECT_TRUE(tunnel::StopSignal::flag().load());
    tunnel::StopSignal::clear();
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

}  // namespace
