#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "e2e/TunnelRelayFixture.h"
#include "lab_api/ApiServer.h"
#include "net/src/url/URL.h"
#include "tunnel_launcher/api/ApiProbe.h"

using kx::core::String;
using kx::net::IpAddress;
using kx::net::SocketAddress;
using lab::EchoClient;

namespace {

typedef e2e::TunnelRelayFixture Ipv6TunnelTest;

// Switches, back ends and the client's local ports all on ::1. Both switches
// share the address, so the failed one's /48 demotes the other with it: the
// other must still take the tunnel over, and the echo lose nothing.
TEST_F(Ipv6TunnelTest, EchoesOverIpv6LoopbackSurviveTheBoundSwitchGoingDown) {
    start(L"forward-key", 0, ipv6());
    ASSERT_TRUE(network->findSwitch(L"a")->address().ip.isV6());
    EchoClient::Result udp;
    echoWhileTheBoundSwitchGoesDown(4000000, 40000, [&] {
        udp = EchoClient::udpEcho(local(udpPort), 10, 1200, 10000, 3);
    });
    EXPECT_TRUE(udp.ok) << udp.error << "\n" << logger.all();
}

// A target whose relays are one IPv4 and one IPv6 switch: the families are
// compared by latency alone, and the faster one carries the tunnel.
TEST_F(Ipv6TunnelTest, AMixedRecordBindsTheFasterRelayOfEitherFamily) {
    struct Case {
        const char* name;
        int32_t ipv6Latency;
        int32_t ipv4Latency;
        const wchar_t* winner;
    };
    const Case cases[] = {
        {"IPv6 faster", 20, 80, L"a"},
        {"IPv4 faster", 80, 20, L"b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (network) {
            TearDown();
            SetUp();
            logger.lines.clear();
        }
        Layout layout;
        layout.switchA = L"[::1]:0";
        layout.latencyA = c.ipv6Latency;
        layout.switchB = L"127.0.0.1:0";
        layout.latencyB = c.ipv4Latency;
        start(L"", 0, layout);
        ASSERT_NE(nullptr, link());
        EXPECT_EQ(network->findSwitch(c.winner)->sessions()[0].get(), link()->holder())
            << logger.all();
        EchoClient::Result result;
        ASSERT_TRUE(
            runBeside([&] { result = EchoClient::tcpEcho(tcpPort, 100000, 10000); }, 15000));
        EXPECT_TRUE(result.ok) << result.error;
    }
}

// The SDK's API probe with a control-API URL that names [::1]: the port comes
// from the bracketed authority, the connect goes to ::1, and the lab's API
// answers its enciphered ping there.
TEST_F(Ipv6TunnelTest, TheApiProbeReachesTheLabApiThroughABracketedUrl) {
    Layout layout = ipv6();
    layout.api = L"[::1]:0";
    start(L"", 0, layout);
    ASSERT_NE(nullptr, network->api());
    const SocketAddress api = network->api()->httpAddress();
    ASSERT_TRUE(api.ip.isV6());
    const kx::net::URL url(("http://[::1]:" + std::to_string(api.port) + "/").c_str());
    EXPECT_EQ(int32_t(api.port), tunnel::ApiProbe::portOf(url));
    std::atomic<bool> decided{false};
    tunnel::ApiProbe::Result result;
    ASSERT_TRUE(runBeside(
        [&] {
            result = tunnel::ApiProbe::probeAddress(tunnel::ApiProbe::Settings{url, API_TEA, {}},
                                                    IpAddress("::1"), &decided);
        },
        15000));
    EXPECT_TRUE(result.ok) << result.word.toStdString();
}

}  // namespace
