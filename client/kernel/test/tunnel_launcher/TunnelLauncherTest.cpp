#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "ApiTestSupport.h"
#include "core/src/json/JsonParser.h"
#include "core/src/misc/FileUtil.h"
#include "net/src/socket/Socket.h"
#include "net/src/socket/SocketEventSelector.h"
#include "tunnel_client/TunnelClient.h"
#include "tunnel_launcher/StatusBoard.h"
#include "tunnel_launcher/TargetClientBuilder.h"
#include "tunnel_launcher/TargetRecordReader.h"
#include "tunnel_launcher/TunnelLauncher.h"
#include "tunnel_launcher/service/AccountService.h"

using kx::core::String;
using kx::net::IpAddress;
using tunnel::TargetClientBuilder;
using tunnel::TargetRecord;
using tunnel::TargetRecordReader;
using tunnel::TunnelClient;
using tunnel::TunnelLauncher;
using tunnel::testing::ApiPeer;
using tunnel::testing::SharedRecordingLogger;

namespace {

// Builds the clients of a target list the way the launcher does.
class RecordFixture : public ::testing::Test {
protected:
    std::vector<std::unique_ptr<TunnelClient>> build(const std::string& targetsJson,
                                                     bool fastTick = false) {
        kx::core::Any targets;
        EXPECT_TRUE(kx::core::JsonParser::parseAny(String::fromUtf8(targetsJson), targets));
        tunnel::LoginInfo login;
        login.accessKey = L"key";
        TargetClientBuilder builder(m_logger.get(), &selector, login, String(), fastTick);
        std::vector<std::unique_ptr<TunnelClient>> clients;
        for (const TargetRecord& record :
             TargetRecordReader::readTargets(targets.as<kx::core::AnyArray>())) {
            clients.push_back(builder.build(record, static_cast<int32_t>(clients.size())));
        }
        return clients;
    }
    size_t count(const std::string& prefix) const { return log().starting(prefix).size(); }
    const SharedRecordingLogger& log() const { return *m_logger; }
    // Only while no client of the old one is alive.
    void freshLog() { m_logger.reset(new SharedRecordingLogger()); }

    std::unique_ptr<SharedRecordingLogger> m_logger{new SharedRecordingLogger()};
    kx::net::SocketEventSelector selector{1000};
};

// A loopback port that was free a moment ago.
int freePort() {
    kx::net::Socket socket(kx::net::Socket::TYPE_TCP);
    socket.bind(kx::net::SocketAddress(IpAddress("127.0.0.1"), 0));
    return socket.localAddress().port;
}

typedef RecordFixture TunnelLauncherRecordTest;

TEST_F(TunnelLauncherRecordTest, ForwardRangesClampsAndProtocols) {
    // Unsupported protocols log one line per port without binding anything,
    // which shows the port arithmetic on any port.
    struct Case {
        const char* name;
        const char* forward;
        std::vector<std::string> lines;  // every "[Launcher] Protocol..." line, in order
        size_t total;                    // their number, when the list is only a sample
    } const cases[] = {
        {"range 0 adds one", R"({"protocol": "sctp", "client_port": 40000, "range": 0})",
         {"E [Launcher] Protocol is not supported: 'sctp' on 127.0.0.1:40000"}, 1},
        {"range 2 adds three", R"({"protocol": "quic", "client_port": 40000, "range": 2})",
         {"E [Launcher] Protocol is not supported: 'quic' on 127.0.0.1:40000",
          "E [Launcher] Protocol is not supported: 'quic' on 127.0.0.1:40001",
          "E [Launcher] Protocol is not supported: 'quic' on 127.0.0.1:40002"}, 3},
        {"range 1 logs twice", R"({"protocol": "Gre", "client_port": "41000", "range": 1})",
         {"E [Launcher] Protocol is not supported: 'gre' on 127.0.0.1:41000",
          "E [Launcher] Protocol is not supported: 'gre' on 127.0.0.1:41001"}, 2},
        {"range 5000 is cut to 999", R"({"protocol": "x", "client_port": 1000, "range": 5000})",
         {"E [Launcher] Protocol is not supported: 'x' on 127.0.0.1:1000"}, 1000},
        {"negative range adds nothing", R"({"protocol": "x", "client_port": 1000, "range": -3})",
         {}, 0},
        {"ports clamp at 65535", R"({"protocol": "x", "client_port": 65535, "range": 2})",
         {"E [Launcher] Protocol is not supported: 'x' on 127.0.0.1:65535",
          "E [Launcher] Protocol is not supported: 'x' on 127.0.0.1:65535",
          "E [Launcher] Protocol is not supported: 'x' on 127.0.0.1:65535"}, 3},
        {"no protocol", R"({"client_port": 5})",
         {"E [Launcher] Protocol is not supported: '' on 127.0.0.1:5"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        freshLog();
        auto clients = build(std::string(R"([{"id": 1, "forwards": [)") + c.forward + "]}]");
        ASSERT_EQ(clients.size(), 1u);
        const std::vector<std::string> lines = log().starting("[Launcher] Protocol is not");
        EXPECT_EQ(lines.size(), c.total);
        for (size_t i = 0; i < c.lines.size() && i < lines.size(); ++i) {
            EXPECT_EQ(lines[i], c.lines[i]);
        }
        EXPECT_EQ(count("[Launcher] TCP forward added"), 0u);
        EXPECT_EQ(clients[0]->connectionCount(), 0);
    }
}

TEST_F(TunnelLauncherRecordTest, TcpAndUdpForwardsListenAndRepeatsFail) {
    const std::string port = std::to_string(freePort());
    auto clients = build(R"([{"id": 2, "forwards": [
        {"protocol": "TCP", "client_port": )" + port + R"(, "standby_port": 9},
        {"protocol": "tcp", "client_port": )" + port + R"(},
        {"protocol": "udp", "client_port": )" + port + R"(},
        {"protocol": "Udp", "client_port": )" + port + R"(}]}])");
    ASSERT_EQ(clients.size(), 1u);
    EXPECT_TRUE(log().has("I [Launcher] TCP forward added on 127.0.0.1:" + port));
    EXPECT_TRUE(log().has("I [Launcher] UDP forward added on 127.0.0.1:" + port));
    EXPECT_EQ(count("[Launcher] Failed to add forward on 127.0.0.1:" + port), 2u);

    // The port really listens.
    kx::net::Socket app(kx::net::Socket::TYPE_TCP);
    EXPECT_TRUE(app.connect(kx::net::SocketAddress(IpAddress("127.0.0.1"),
                                                   static_cast<uint16_t>(std::stoi(port)))));
}

TEST_F(TunnelLauncherRecordTest, Ipv6RelaysStandbysAndClientIpOnIpv6Loopback) {
    const std::string port = std::to_string(freePort());
    auto clients = build(R"([{"id": 4, "client_ip": "::1",
        "standbys": [{"ip": "2001:db8::9"}, {"ip": "10.0.0.9"}],
        "nodes": [{"ip": "2001:db8::1", "port": 443, "type": "standard"},
                  {"ip": "10.1.2.3", "port": 443, "type": "standard"}],
        "forwards": [{"protocol": "tcp", "client_port": )" + port + R"(},
                     {"protocol": "udp", "client_port": )" + port + R"(}]}])");
    ASSERT_EQ(clients.size(), 1u);
    EXPECT_TRUE(log().has("I [Launcher] Node [2001:db8::1]:443 added on type standard below 0ms"));
    EXPECT_EQ(clients[0]->nodeManager()->nodes().size(), 2);
    EXPECT_EQ(clients[0]->localIp(), IpAddress("::1"));
    EXPECT_TRUE(log().has("I [Launcher] TCP forward added on [::1]:" + port));
    EXPECT_TRUE(log().has("I [Launcher] UDP forward added on [::1]:" + port));
    kx::net::Socket app(kx::net::Socket::TYPE_TCP, IpAddress::V6);
    EXPECT_TRUE(app.connect(kx::net::SocketAddress(IpAddress("::1"), static_cast<uint16_t>(std::stoi(port)))));
}

TEST_F(TunnelLauncherRecordTest, TargetsNodesAndTheClientLines) {
    auto clients = build(R"([
        {"id": 11, "nodes": [
            {"ip": "10.1.2.3", "port": 443, "type": "standard", "latency": 25},
            {"ip": "10.1.2.3", "port": 443, "type": "bandwidth", "latency": 5},
            {"ip": "10.1.2.4", "port": "8443", "type": "defence"},
            "not a node"]},
        "not a target", 17,
        {"id": "12", "client_ip": "127.0.0.2"},
        {"client_ip": ""}
    ])", true);
    ASSERT_EQ(clients.size(), 3u);
    EXPECT_TRUE(log().has("I [Launcher] Node 10.1.2.3:443 added on type standard below 25ms"));
    EXPECT_TRUE(log().has("E [Launcher] Failed to add node 10.1.2.3:443"));
    EXPECT_TRUE(log().has("I [Launcher] Node 10.1.2.4:8443 added on type defence below 0ms"));
    EXPECT_EQ(clients[0]->nodeManager()->nodes().size(), 2);

    EXPECT_TRUE(log().has("I [Launcher] Client-0 has been inited for Target #11 (FastTick:true)"));
    EXPECT_TRUE(log().has("I [Launcher] Client-1 has been inited for Target #12 (FastTick:true)"));
    EXPECT_TRUE(log().has("I [Launcher] Client-2 has been inited for Target #0 (FastTick:true)"));
    EXPECT_EQ(clients[0]->localIp(), IpAddress("127.0.0.1"));  // no client_ip
    EXPECT_EQ(clients[1]->localIp(), IpAddress("127.0.0.2"));
    EXPECT_EQ(clients[2]->localIp(), IpAddress("127.0.0.1"));  // empty client_ip
    EXPECT_EQ(clients[1]->loginInfo().accessKey, String(L"key"));
}

TEST_F(TunnelLauncherRecordTest, StatusOfFreshClientsAsJson) {
    auto clients = build(R"([{"id": 5}, {"id": 6}])");
    tunnel::StatusBoard board;
    for (auto& client : clients) board.add(client.get());
    board.sample();
    const auto snapshots = board.take();
    ASSERT_EQ(snapshots.size(), 2);
    const kx::core::AnyArray items = tunnel::StatusBoard::toAny(snapshots);
    ASSERT_EQ(items.size(), 2);
    const kx::core::AnyDictionary& first = items[0].as<kx::core::AnyDictionary>();
    for (const wchar_t* key :
         {L"target_id", L"switch", L"state", L"tcp_connections", L"udp_peers", L"received_bytes",
          L"sent_bytes", L"received_rate", L"sent_rate", L"received_packets", L"sent_packets",
          L"failovers", L"latency_ms", L"failures", L"last_error"}) {
        EXPECT_TRUE(first.contains(key)) << String(key).toStdString();
    }
    const auto& failures = first.get(L"failures").as<kx::core::AnyDictionary>();
    for (const wchar_t* kind : {L"select", L"connect", L"refused", L"timeout", L"silent"})
        EXPECT_TRUE(failures.contains(kind)) << String(kind).toStdString();
    EXPECT_EQ(snapshots[0].latencyMs, -1);  // unbound
    EXPECT_EQ(snapshots[1].targetId, 6);
    EXPECT_EQ(snapshots[0].switchText, String(L"none"));
    EXPECT_EQ(snapshots[0].state, String(L"idle"));
    EXPECT_EQ(tunnel::TargetStatus::line(snapshots[0]),
              String(L"[Host] Target #5 switch none, idle, connections 0, received 0 B/s, "
                     L"sent 0 B/s"));
}

TEST(TunnelLauncherPasswordTest, TheTokenFilePasswordEndsInTheStorageStem) {
    EXPECT_EQ(String(TunnelLauncher::PROPERTIES_PASSWORD_PREFIX).length(), 15);
    EXPECT_EQ(TunnelLauncher::propertiesPassword(L"/a/Korvane/storage/0123abcd.cfg"),
              String(TunnelLauncher::PROPERTIES_PASSWORD_PREFIX) + L"0123abcd");
    EXPECT_EQ(TunnelLauncher::propertiesPassword(L"stem"),
              String(TunnelLauncher::PROPERTIES_PASSWORD_PREFIX) + L"stem");
}

// The whole start against the control-API stand-in.
class TunnelLauncherApiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_peer.reset(new ApiPeer());
        if (!s_peer->start(false)) s_peer.reset();
    }
    static void TearDownTestSuite() { s_peer.reset(); }

    void SetUp() override {
        ASSERT_TRUE(s_peer) << "python3 api peer did not start";
        char pattern[] = "/tmp/korvane-launcher-XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        m_dir = pattern;
    }
    void TearDown() override {
        if (system(("rm -rf '" + m_dir + "'").c_str()) != 0) {
        }
    }

    std::unique_ptr<TunnelLauncher> launch(const kx::net::URL& url,
                                           const std::string& stem = "0123456789abcdef") {
        tunnel::ApiSettings api;
        api.url = url;
        api.hostGroups.append(kx::core::Strings{L"127.0.0.1"});
        api.encryptorSpec = L"tea(" + String::fromUtf8(tunnel::testing::API_PASS) + L")";
        tunnel::LaunchSettings launch;
        launch.launchKey = L"launcher-key";
        launch.launchVersion = L"test-1";
        return std::unique_ptr<TunnelLauncher>(new TunnelLauncher(
            m_logger.get(), &selector, String::fromUtf8(m_dir + "/storage/" + stem + ".cfg"), api,
            launch));
    }

    const SharedRecordingLogger& log() const { return *m_logger; }

    static std::unique_ptr<ApiPeer> s_peer;
    std::unique_ptr<SharedRecordingLogger> m_logger{new SharedRecordingLogger()};
    kx::net::SocketEventSelector selector{1000};
    std::string m_dir;
};

std::unique_ptr<ApiPeer> TunnelLauncherApiTest::s_peer;

TEST_F(TunnelLauncherApiTest, MakesOneClientPerTargetAndKeepsItsToken) {
    const auto began = std::chrono::steady_clock::now();
    std::unique_ptr<TunnelLauncher> launcher = launch(s_peer->url("ok"));
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(990));
    ASSERT_TRUE(launcher->isRunning()) << launcher->errorText().toStdString();
    EXPECT_TRUE(launcher->errorText().isEmpty());
    EXPECT_EQ(launcher->status().clientCount, 2);
    EXPECT_EQ(launcher->status().readyCount, 0);
    EXPECT_TRUE(log().has("I [Launcher] Client created."));
    EXPECT_TRUE(log().has("I [Launcher] Client-0 has been inited for Target #7 (FastTick:false)"));
    EXPECT_TRUE(log().has("I [Launcher] Client-1 has been inited for Target #8 (FastTick:false)"));
    EXPECT_EQ(launcher->client(0)->loginInfo().clientToken, launcher->accountService()->token());
    EXPECT_EQ(launcher->client(0)->loginInfo().clientVersion, String(L"test-1"));
    launcher->tick();
    EXPECT_EQ(launcher->takeStatus().size(), 2);
    launcher.reset();
    EXPECT_EQ(log().lines().back(), "I [Launcher] All Clients Removed.");

    // The token file reads back under the same derived password.
    m_logger.reset(new SharedRecordingLogger());
    launcher = launch(s_peer->url("ok"));
    EXPECT_TRUE(log().has("I [Launcher] Client updated.")) << launcher->errorText().toStdString();
    EXPECT_FALSE(log().has("I [Launcher] Client created."));
}

TEST_F(TunnelLauncherApiTest, AStartThatFailsMakesNoClientAndSaysWhy) {
    std::unique_ptr<TunnelLauncher> empty = launch(s_peer->url("notargets"));
    EXPECT_FALSE(empty->isRunning());
    EXPECT_EQ(empty->errorText(), String(L"Target list is empty"));
    EXPECT_TRUE(log().starting("[Launcher] Client-").empty());
    empty.reset();

    // Nothing listens there: a clear error text, no client, no crash.
    const int port = freePort();
    std::unique_ptr<TunnelLauncher> unreachable =
        launch(kx::net::URL(("http://api.test:" + std::to_string(port) + "/ok").c_str()), "fresh");
    EXPECT_FALSE(unreachable->isRunning());
    EXPECT_EQ(unreachable->errorText().toStdString().rfind("Failed to create client: ", 0), 0u)
        << unreachable->errorText().toStdString();
}

}  // namespace
