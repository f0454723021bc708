#include <gtest/gtest.h>

#include <climits>

#include "core/src/misc/FileUtil.h"
#include "tunnel_host/TargetConfig.h"

using kx::core::String;
using kx::net::IpAddress;
using tunnel::ForwardPort;
using tunnel::ForwardRecord;
using tunnel::TargetConfig;
using tunnel::TargetRecord;

namespace {

TargetConfig parse(const char* json) {
    TargetConfig config;
    String error;
    EXPECT_TRUE(TargetConfig::fromJson(String::fromUtf8(json), &config, &error))
        << error.toStdString();
    return config;
}

ForwardRecord forward(int32_t clientPort, int32_t standbyPort, int32_t range) {
    ForwardRecord record;
    record.protocol = L"tcp";
    record.clientPort = clientPort;
    record.standbyPort = standbyPort;
    record.range = range;
    return record;
}

TEST(TargetConfigTest, TopLevelKeysConvertLikeTheHostConfiguration) {
    TargetConfig config = parse(
        R"({"access_key": 12345, "token": "tok", "version": 1.5, "fast_tick_enabled": "True"})");
    EXPECT_EQ(config.accessKey, String(L"12345"));
    EXPECT_EQ(config.token, String(L"tok"));
    EXPECT_EQ(config.loginInfo().clientToken, String(L"tok"));
    EXPECT_EQ(config.loginInfo().accessKey, String(L"12345"));
    EXPECT_TRUE(config.fastTick);
    EXPECT_TRUE(config.targets.isEmpty());

    EXPECT_TRUE(parse(R"({"fast_tick_enabled": 2})").fastTick);
    EXPECT_FALSE(parse(R"({"fast_tick_enabled": 0.5})").fastTick);
    EXPECT_FALSE(parse(R"({"fast_tick_enabled": "yes"})").fastTick);
    TargetConfig wrongTypes = parse(R"({"access_key": [1], "targets": {"id": 1}})");
    EXPECT_TRUE(wrongTypes.accessKey.isEmpty());
    EXPECT_TRUE(wrongTypes.targets.isEmpty());
}

TEST(TargetConfigTest, RefusesTextThatIsNotAnObjectAndUnreadableFiles) {
    TargetConfig config;
    String error;
    EXPECT_FALSE(TargetConfig::fromJson(L"[1, 2]", &config, &error));
    EXPECT_EQ(error, String(L"not a JSON object"));
    EXPECT_FALSE(TargetConfig::fromJson(L"{\"targets\": [", &config, &error));
    EXPECT_FALSE(TargetConfig::load(L"/nonexistent/targets.json", &config, &error));
    EXPECT_EQ(error, String(L"cannot read /nonexistent/targets.json"));
}

TEST(TargetConfigTest, LoadsTheExampleFile) {
    TargetConfig config;
    String error;
    ASSERT_TRUE(
        TargetConfig::load(String::fromUtf8(KX_EXAMPLES_DIR "/targets.json"), &config, &error))
        << error.toStdString();
    EXPECT_EQ(config.accessKey, String(L"demo-access-key"));
    ASSERT_EQ(config.targets.size(), 1);
    const TargetRecord& target = config.targets[0];
    // One switch per /16 block: a failed switch demotes its whole block.
    ASSERT_EQ(target.nodes.size(), 3);
    EXPECT_EQ(target.nodes[0].address.toString(), String(L"127.0.0.1:7101"));
    EXPECT_EQ(target.nodes[1].address.toString(), String(L"127.1.0.1:7102"));
    EXPECT_EQ(target.nodes[2].address.toString(), String(L"127.2.0.1:7103"));
    ASSERT_EQ(target.forwards.size(), 2);
    EXPECT_EQ(target.forwards[0].ports().size(), 3);
    EXPECT_EQ(target.forwards[1].protocol, String(L"udp"));
    EXPECT_EQ(target.forwards[1].clientPort, 7004);
}

TEST(TargetConfigTest, TargetRecordsSkipNonObjectsAndDefaultTheirKeys) {
    TargetConfig config = parse(R"({"targets": [
        7, "x", null,
        {},
        {"id": "42", "client_ip": "", "standbys": "10.0.0.1", "nodes": {}, "forwards": 1},
        {"id": 9007199254740993, "client_ip": "127.0.0.2",
         "standbys": [{"ip": "10.0.0.1"}, 5, "10.9.9.9", [], {"ip": "10.0.0.2"}, {"ip": "bad"}]},
        {"id": 3, "client_ip": "localhost"}
    ]})");
    ASSERT_EQ(config.targets.size(), 4);

    const TargetRecord& empty = config.targets[0];
    EXPECT_EQ(empty.id, 0);
    EXPECT_EQ(empty.clientIpText, String(L"127.0.0.1"));
    EXPECT_EQ(empty.clientIp, IpAddress("127.0.0.1"));
    EXPECT_TRUE(empty.standbys.isEmpty());
    EXPECT_TRUE(empty.nodes.isEmpty());
    EXPECT_TRUE(empty.forwards.isEmpty());

    const TargetRecord& wrongTypes = config.targets[1];
    EXPECT_EQ(wrongTypes.id, 42);
    EXPECT_EQ(wrongTypes.clientIpText, String(L"127.0.0.1"));
    EXPECT_TRUE(wrongTypes.standbys.isEmpty());

    const TargetRecord& full = config.targets[2];
    EXPECT_EQ(full.id, 9007199254740993LL);
    EXPECT_EQ(full.clientIp, IpAddress("127.0.0.2"));
    ASSERT_EQ(full.standbys.size(), 3);  // object elements only, in order
    EXPECT_EQ(full.standbys[0], IpAddress("10.0.0.1"));
    EXPECT_EQ(full.standbys[1], IpAddress("10.0.0.2"));
    EXPECT_TRUE(full.standbys[2].isAny());  // kept as read; the host drops it

    // Not a dotted quad: the text is kept and the address reads as 0.
    EXPECT_EQ(config.targets[3].clientIpText, String(L"localhost"));
    EXPECT_TRUE(config.targets[3].clientIp.isAny());
}

TEST(TargetConfigTest, NodeRecordsReadIpPortTypeAndLatency) {
    TargetConfig config = parse(R"({"targets": [{"nodes": [
        {"ip": "10.1.2.3", "port": 443, "type": "bandwidth", "latency": 25},
        "10.0.0.9", 443,
        {"ip": "10.1.2.4", "port": "8443"},
        {"ip": "10.1.2.5", "port": 70000, "type": 5}
    ]}]})");
    ASSERT_EQ(config.targets.size(), 1);
    const auto& nodes = config.targets[0].nodes;
    ASSERT_EQ(nodes.size(), 3);
    EXPECT_EQ(nodes[0].address.toString(), String(L"10.1.2.3:443"));
    EXPECT_EQ(nodes[0].type, String(L"bandwidth"));
    EXPECT_EQ(nodes[0].latency, 25);
    EXPECT_EQ(nodes[1].address.toString(), String(L"10.1.2.4:8443"));
    EXPECT_TRUE(nodes[1].type.isEmpty());
    EXPECT_EQ(nodes[1].latency, 0);
    EXPECT_EQ(nodes[2].port, 70000);  // the raw value survives for the host's check
    EXPECT_EQ(nodes[2].address.port, 70000 & 0xFFFF);
    EXPECT_EQ(nodes[2].type, String(L"5"));
}

TEST(TargetConfigTest, ForwardRecordsLowerCaseTheProtocolAndReadIntegers) {
    TargetConfig config = parse(R"({"targets": [{"forwards": [
        {"protocol": "TCP", "client_port": 18001, "standby_port": "18101", "range": 2},
        [], "udp",
        {"protocol": "Udp", "client_port": 18002},
        {"client_port": 1}
    ]}]})");
    const auto& forwards = config.targets[0].forwards;
    ASSERT_EQ(forwards.size(), 3);
    EXPECT_EQ(forwards[0].protocol, String(L"tcp"));
    EXPECT_EQ(forwards[0].clientPort, 18001);
    EXPECT_EQ(forwards[0].standbyPort, 18101);
    EXPECT_EQ(forwards[0].range, 2);
    EXPECT_EQ(forwards[1].protocol, String(L"udp"));
    EXPECT_EQ(forwards[1].standbyPort, 0);
    EXPECT_EQ(forwards[1].range, 0);
    EXPECT_TRUE(forwards[2].protocol.isEmpty());
}

TEST(TargetConfigTest, ForwardRangeGivesRangePlusOnePortsCappedAndClamped) {
    auto one = forward(18001, 18101, 0).ports();
    ASSERT_EQ(one.size(), 1);
    EXPECT_EQ(one[0].clientPort, 18001);
    EXPECT_EQ(one[0].standbyPort, 18101);

    auto three = forward(18001, 18101, 2).ports();
    ASSERT_EQ(three.size(), 3);
    for (int32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(three[i].clientPort, 18001 + i);
        EXPECT_EQ(three[i].standbyPort, 18101 + i);
    }

    auto capped = forward(1000, 2000, 5000).ports();
    ASSERT_EQ(capped.size(), 1000);
    EXPECT_EQ(capped[999].clientPort, 1999);

    EXPECT_TRUE(forward(18001, 18101, -1).ports().isEmpty());
    EXPECT_TRUE(forward(18001, 18101, INT32_MIN).ports().isEmpty());

    auto top = forward(65535, 65534, 2).ports();
    ASSERT_EQ(top.size(), 3);
    for (const ForwardPort& port : top) EXPECT_EQ(port.clientPort, 65535);
    EXPECT_EQ(top[0].standbyPort, 65534);
    EXPECT_EQ(top[2].standbyPort, 65535);
}

TEST(TargetConfigTest, HugeFirstPortClampsInsteadOfWrappingNegative) {
    auto ports = forward(INT32_MAX, INT32_MAX - 1, 3).ports();
    ASSERT_EQ(ports.size(), 4);
    for (const ForwardPort& port : ports) {
        EXPECT_EQ(port.clientPort, 65535);
        EXPECT_EQ(port.standbyPort, 65535);
    }
}

}  // namespace
