#include <gtest/gtest.h>

#include "lab_switch/SwitchConfig.h"
#include "lab_switch/TunnelTable.h"

using kx::core::String;
using lab::LabConfig;

TEST(LabConfig, ParsesSwitchesSharingOneProcess) {
    LabConfig config;
    String error;
    ASSERT_TRUE(LabConfig::fromJson(
        L"{\"tick_ms\": 20, \"switches\": ["
        L"{\"name\": \"a\", \"listen\": \"127.0.0.1:7101\", \"access_keys\": [\"k1\", \"k2\"],"
        L" \"latency\": -1, \"fault\": \"silent\"},"
        L"{\"listen\": \"127.0.0.2:7102\", \"fault\": \"slow\", \"slow_ms\": 250}]}",
        &config, &error))
        << error.toStdString();
    EXPECT_EQ(20, config.tickMs);
    ASSERT_EQ(2, config.switches.size());
    const lab::SwitchConfig& a = config.switches[0];
    EXPECT_EQ(String(L"a"), a.name);
    EXPECT_EQ(String(L"127.0.0.1:7101"), a.listen.toString());
    EXPECT_EQ(2, a.accessKeys.size());
    EXPECT_EQ(-1, a.latency);
    EXPECT_EQ(lab::SwitchFault::SILENT, a.fault);
    const lab::SwitchConfig& b = config.switches[1];
    EXPECT_EQ(String(L"127.0.0.2:7102"), b.name);
    EXPECT_EQ(lab::SwitchFault::SLOW, b.fault);
    EXPECT_EQ(250, b.slowMs);
    EXPECT_EQ(20, b.latency);
}

TEST(LabConfig, RefusesNonLoopbackAndBrokenInput) {
    LabConfig config;
    String error;
    for (const wchar_t* text : {
             L"{\"switches\": [{\"listen\": \"0.0.0.0:7101\"}]}",
             L"{\"switches\": [{\"listen\": \"10.0.0.1:7101\"}]}",
             L"{\"switches\": [{\"listen\": \"127.0.0.1\"}]}",
             L"{\"switches\": [{\"listen\": \"127.0.0.1:70000\"}]}",
             L"{\"switches\": [{\"listen\": \"127.0.0.1:7101\", \"fault\": \"explode\"}]}",
             // IPv6: loopback only, in brackets, with a port.
             L"{\"switches\": [{\"listen\": \"[::2]:7101\"}]}",
             L"{\"switches\": [{\"listen\": \"::1:7101\"}]}",
             L"{\"switches\": [{\"listen\": \"[::1]\"}]}",
             L"{\"switches\": [], \"admin\": \"[::]:19000\"}",
             L"{\"switches\": {}}",
             L"[1, 2]",
             L"not json",
         }) {
        error.clear();
        EXPECT_FALSE(LabConfig::fromJson(text, &config, &error)) << String(text).toStdString();
        EXPECT_FALSE(error.isEmpty());
    }
}

TEST(TunnelTable, CreatesDistinctTunnelsAndForgetsHolders) {
    lab::TunnelTable table;
    lab::TunnelRecord& a = table.create(7, L"id");
    lab::TunnelRecord& b = table.create(7, L"id");
    EXPECT_NE(a.tunnelId, b.tunnelId);
    EXPECT_NE(a.natId, b.natId);
    EXPECT_EQ(&a, table.find(a.tunnelId));
    EXPECT_EQ(nullptr, table.find(L"nope"));

    auto* session = reinterpret_cast<lab::SwitchSession*>(&table);
    a.holder = session;
    table.release(session);
    EXPECT_EQ(nullptr, a.holder);
    EXPECT_TRUE(table.remove(b.tunnelId));
    EXPECT_EQ(1, table.size());
}

TEST(LabConfig, ParsesBackEndsRoutesKeyAndAdmin) {
    LabConfig config;
    String error;
    ASSERT_TRUE(LabConfig::fromJson(
        L"{\"switches\": [], \"forward_key\": \"k\", \"admin\": \"127.0.0.1:19000\","
        L"\"backends\": [{\"name\": \"e\", \"kind\": \"tcp_echo\", \"listen\": \"127.0.0.1:1\"},"
        L"{\"name\": \"u\", \"kind\": \"udp_echo\", \"listen\": \"127.0.0.2:2\"}],"
        L"\"routes\": [{\"target_id\": 9, \"client_port\": 18002, \"backend\": \"u\"}]}",
        &config, &error))
        << error.toStdString();
    ASSERT_EQ(2, config.backends.size());
    EXPECT_EQ(lab::BackendConfig::UDP_ECHO, config.backends[1].kind);
    EXPECT_TRUE(config.backends[1].isUdp());
    ASSERT_EQ(1, config.routes.size());
    EXPECT_EQ(9, config.routes[0].targetId);
    EXPECT_EQ(18002, config.routes[0].clientPort);
    EXPECT_EQ(String(L"k"), config.forwardKey);
    EXPECT_TRUE(config.hasAdmin);
    EXPECT_EQ(19000, config.admin.port);

    for (const wchar_t* text : {
             L"{\"switches\": [], \"backends\": [{\"kind\": \"tcp_echo\", \"listen\": "
             L"\"0.0.0.0:1\"}]}",
             L"{\"switches\": [], \"backends\": [{\"kind\": \"http\", \"listen\": "
             L"\"127.0.0.1:1\"}]}",
             L"{\"switches\": [], \"routes\": [{\"target_id\": 1, \"client_port\": 1, \"backend\": "
             L"\"x\"}]}",
             L"{\"switches\": [], \"backends\": [{\"name\": \"e\", \"kind\": \"tcp_echo\", "
             L"\"listen\": \"127.0.0.1:1\"}], \"routes\": [{\"client_port\": 0, \"backend\": "
             L"\"e\"}]}",
             L"{\"switches\": [], \"admin\": \"10.0.0.1:19000\"}",
         }) {
        error.clear();
        EXPECT_FALSE(LabConfig::fromJson(text, &config, &error)) << String(text).toStdString();
        EXPECT_FALSE(error.isEmpty());
    }
}

// Every back-end kind by name: served ones need a loopback "listen", remote
// ones a "connect" address the lab does not serve.
TEST(LabConfig, BackEndKindsAndTheirAddresses) {
    struct Case {
        const wchar_t* backend;
        bool ok;
        lab::BackendConfig::Kind kind;
        bool udp;
        bool remote;
        const wchar_t* address;
    };
    using B = lab::BackendConfig;
    const Case cases[] = {
        {L"\"kind\": \"tcp_echo\", \"listen\": \"127.0.0.1:1\"", true, B::TCP_ECHO, false, false,
         L"127.0.0.1:1"},
        {L"\"kind\": \"tcp_source\", \"listen\": \"127.3.0.1:2\"", true, B::TCP_SOURCE, false,
         false, L"127.3.0.1:2"},
        {L"\"kind\": \"tcp_sink\", \"listen\": \"127.0.0.1:3\"", true, B::TCP_SINK, false, false,
         L"127.0.0.1:3"},
        {L"\"kind\": \"udp_echo\", \"listen\": \"127.0.0.1:4\"", true, B::UDP_ECHO, true, false,
         L"127.0.0.1:4"},
        {L"\"kind\": \"tcp_remote\", \"connect\": \"127.0.0.1:5201\"", true, B::TCP_REMOTE, false,
         true, L"127.0.0.1:5201"},
        {L"\"kind\": \"tcp_remote\", \"connect\": \"10.1.2.3:5432\"", true, B::TCP_REMOTE, false,
         true, L"10.1.2.3:5432"},
        {L"\"kind\": \"udp_remote\", \"connect\": \"127.0.0.1:53\"", true, B::UDP_REMOTE, true,
         true, L"127.0.0.1:53"},
        {L"\"kind\": \"tcp_echo\", \"listen\": \"[::1]:6\"", true, B::TCP_ECHO, false, false,
         L"[::1]:6"},
        {L"\"kind\": \"udp_echo\", \"listen\": \"[::1]:7\"", true, B::UDP_ECHO, true, false,
         L"[::1]:7"},
        {L"\"kind\": \"tcp_remote\", \"connect\": \"[2001:db8::5]:443\"", true, B::TCP_REMOTE,
         false, true, L"[2001:db8::5]:443"},
        {L"\"kind\": \"tcp_echo\", \"listen\": \"[2001:db8::5]:1\"", false, B::TCP_ECHO, false,
         false, L""},
        {L"\"kind\": \"tcp_remote\", \"connect\": \"2001:db8::5:443\"", false, B::TCP_ECHO, false,
         false, L""},
        // A remote kind is never served, so "listen" is no substitute.
        {L"\"kind\": \"tcp_remote\", \"listen\": \"127.0.0.1:5201\"", false, B::TCP_ECHO, false,
         false, L""},
        {L"\"kind\": \"tcp_remote\", \"connect\": \"db.example:5432\"", false, B::TCP_ECHO, false,
         false, L""},
        {L"\"kind\": \"udp_remote\", \"connect\": \"127.0.0.1:0\"", false, B::TCP_ECHO, false,
         false, L""},
        {L"\"kind\": \"udp_remote\", \"connect\": \"127.0.0.1:99999\"", false, B::TCP_ECHO, false,
         false, L""},
        {L"\"kind\": \"tcp_remote\", \"connect\": \"0.0.0.0:80\"", false, B::TCP_ECHO, false, false,
         L""},
        {L"\"kind\": \"tcp_echo\", \"connect\": \"127.0.0.1:1\"", false, B::TCP_ECHO, false, false,
         L""},
    };
    for (const Case& c : cases) {
        String text =
            String(L"{\"switches\": [], \"backends\": [{\"name\": \"x\", ") + c.backend + L"}]}";
        SCOPED_TRACE(text.toStdString());
        LabConfig config;
        String error;
        ASSERT_EQ(c.ok, LabConfig::fromJson(text, &config, &error)) << error.toStdString();
        if (!c.ok) {
            EXPECT_FALSE(error.isEmpty());
            continue;
        }
        const lab::BackendConfig& b = config.backends[0];
        EXPECT_EQ(c.kind, b.kind);
        EXPECT_EQ(c.udp, b.isUdp());
        EXPECT_EQ(c.remote, b.isRemote());
        EXPECT_EQ(String(c.address), b.listen.toString());
        lab::BackendConfig::Kind back;
        ASSERT_TRUE(lab::BackendConfig::parseKind(lab::BackendConfig::kindName(c.kind), &back));
        EXPECT_EQ(c.kind, back);
    }
}
