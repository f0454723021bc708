#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "ApiTestSupport.h"
#include "async/src/SocketReactor.h"
#include "async/src/ThreadExecutor.h"
#include "async/test/support/Pump.h"
#include "tunnel_launcher/api/ApiClient.h"
#include "tunnel_launcher/api/ApiHostLookup.h"
#include "tunnel_launcher/api/ApiHttpClient.h"
#include "tunnel_launcher/api/ApiProbe.h"
#include "tunnel_launcher/api/EncryptedHttpClient.h"

using kx::core::String;
using kx::core::Strings;
using kx::net::IpAddress;
using tunnel::ApiHostLookup;
using tunnel::ApiProbe;
using tunnel::testing::SharedRecordingLogger;

namespace {

// How a scripted address answers the race's probe.
struct Behaviour {
    bool ok = false;
    const char* word = "connect";
    int delayMs = 0;
    bool honoursDone = true;  // gives up (skipped) once the race is decided
    const char* after = nullptr;  // answers only once this address's probe started
};

class ApiHostLookupTest : public ::testing::Test {
protected:
    void make(const std::vector<std::vector<const wchar_t*>>& groups) {
        kx::core::Array<Strings> hostGroups;
        for (const auto& group : groups) {
            Strings entries;
            for (const wchar_t* entry : group) entries.append(entry);
            hostGroups.append(entries);
        }
        m_lookup.reset(new ApiHostLookup(&m_reactor, &m_executor, hostGroups, kx::net::URL("http://api.test"),
                                         L"tea(x)", &m_log));
        m_lookup->setProber([this](const IpAddress& address, const std::atomic<bool>* done) {
            Behaviour b = m_behaviour[address.toStdString()];
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_started[address.toStdString()];
            }
            auto patience = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (b.after && std::chrono::steady_clock::now() < patience) {
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    if (m_started[b.after] > 0) break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(b.delayMs);
            while (std::chrono::steady_clock::now() < until) {
                if (b.honoursDone && *done) {
                    ApiProbe::Result skipped;
                    skipped.skipped = true;
                    return skipped;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            ApiProbe::Result result;
            result.ok = b.ok;
            if (!b.ok) result.word = String::fromUtf8(b.word);
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_probes[address.toStdString()];
            return result;
        });
        m_lookup->setResolver([this](const String& name) {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_resolves;
            return m_names[name.toStdString()];
        });
    }

    void TearDown() override {
        if (m_lookup) {
            kx::testing::pumpUntil(m_reactor, [this]() { return m_executor.idle() && m_lookup->inflight() == 0; });
            m_lookup.reset();
        }
    }

    // The log with elapsed times blanked, for exact comparison.
    std::vector<std::string> log() {
        std::vector<std::string> out;
        for (std::string line : m_log.lines()) {
            size_t ms = line.find("ms ");
            size_t digits = ms;
            while (digits != std::string::npos && digits > 0 && isdigit(static_cast<unsigned char>(line[digits - 1])))
                --digits;
            if (ms != std::string::npos && digits < ms && line[digits - 1] == ' ')
                line.replace(digits, ms - digits, "N");
            out.push_back(line);
        }
        return out;
    }

    kx::async::SocketReactor m_reactor{10};
    kx::async::ThreadExecutor m_executor;
    SharedRecordingLogger m_log;
    std::unique_ptr<ApiHostLookup> m_lookup;
    std::map<std::string, Behaviour> m_behaviour;
    std::map<std::string, ApiHostLookup::Addresses> m_names;
    std::mutex m_mutex;
    std::map<std::string, int> m_probes;
    std::map<std::string, int> m_started;
    int m_resolves = 0;
};

}  // namespace

TEST_F(ApiHostLookupTest, RaceOverGroupsWithMaskedLog) {
    struct Case {
        const char* name;
        std::vector<std::vector<const wchar_t*>> groups;
        const char* winner;  // empty: no winner
        std::vector<std::string> log;
    } cases[] = {
        {"second literal answers",
         {{L"10.1.2.3", L"10.4.5.6"}},
         "10.4.5.6",
         {"I [Dns] ping 10.*.*.3 Nms fail connect", "I [Dns] ping 10.*.*.6 Nms ok",
          "I [Dns] race group=0 winner=10.*.*.6 ok"}},
        {"names, one address reached twice, next group wins",
         {{L"bad.example", L"dup.example"}, {L"good.example"}},
         "10.7.7.7",
         {"I [Dns] resolve 'b' Nms fail", "I [Dns] resolve 'd' Nms ok addrs=2", "I [Dns] ping 10.*.*.3 Nms fail connect",
          "I [Dns] race group=0 fail", "I [Dns] resolve 'g' Nms ok addrs=1", "I [Dns] ping 10.*.*.7 Nms ok",
          "I [Dns] race group=1 winner=10.*.*.7 ok"}},
        {"every group fails",
         {{L"10.1.2.3"}, {L"", L"bad.example"}},
         "",
         {"I [Dns] ping 10.*.*.3 Nms fail connect", "I [Dns] race group=0 fail", "I [Dns] resolve 'b' Nms fail",
          "I [Dns] race group=1 fail", "I [Dns] race fail"}},
    };
    for (const Case& c : cases) {
        m_log.clear();
        m_probes.clear();
        m_behaviour["10.4.5.6"].ok = true;
        m_behaviour["10.4.5.6"].after = "10.1.2.3";
        m_behaviour["10.7.7.7"].ok = true;
        m_names["dup.example"] = {IpAddress("10.1.2.3"), IpAddress("10.1.2.3")};
        m_names["good.example"] = {IpAddress("10.7.7.7")};
        make(c.groups);
        ApiHostLookup::Addresses won = m_lookup->race();
        EXPECT_EQ(std::string(c.winner), won.isEmpty() ? std::string() : won[0].toStdString()) << c.name;
        // Entries of one group race in parallel: their lines come in any order.
        std::vector<std::string> expected = c.log;
        std::vector<std::string> got = log();
        ASSERT_FALSE(got.empty()) << c.name;
        EXPECT_EQ(expected.back(), got.back()) << c.name;
        std::sort(expected.begin(), expected.end());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(expected, got) << c.name;
        for (const auto& probe : m_probes) EXPECT_EQ(1, probe.second) << c.name << " " << probe.first;
    }
}

TEST_F(ApiHostLookupTest, FirstGoodAnswerWinsAndLosersAreDropped) {
    m_behaviour["10.0.0.1"] = Behaviour{true, "", 0, true, "10.0.0.2"};  // once the late one runs
    m_behaviour["10.0.0.2"] = Behaviour{true, "", 150, false, "10.0.0.3"};  // answers late, ignores the decision
    m_behaviour["10.0.0.3"] = Behaviour{false, "timeout", 8000, true};
    m_names["late.example"] = {IpAddress("10.0.0.4")};
    make({{L"10.0.0.1", L"10.0.0.2", L"10.0.0.3", L"late.example"}});
    auto started = std::chrono::steady_clock::now();
    ApiHostLookup::Addresses won = m_lookup->race();
    ASSERT_EQ(1, won.size());
    EXPECT_EQ("10.0.0.1", won[0].toStdString());
    // The decided race released the slow probe long before its 8 s.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(5000));
    std::vector<std::string> lines = log();
    auto has = [&](const std::string& l) { return std::find(lines.begin(), lines.end(), l) != lines.end(); };
    EXPECT_TRUE(has("I [Dns] ping 10.*.*.1 Nms ok"));
    EXPECT_TRUE(has("I [Dns] ping 10.*.*.2 Nms ok"));  // logged, but not the winner
    EXPECT_TRUE(has("I [Dns] ping 10.*.*.3 skip"));
    EXPECT_TRUE(has("I [Dns] resolve 'l' skip"));
    EXPECT_EQ("I [Dns] race group=0 winner=10.*.*.1 ok", lines.back());
}

TEST_F(ApiHostLookupTest, BothFamiliesOfANameRaceAndAnUnreachableIpv4LiteralTriesNat64) {
    // The resolver's first choice (IPv4) hangs; the IPv6 address starts one
    // stagger step later and wins.
    m_behaviour["10.0.0.1"] = Behaviour{false, "timeout", 8000, true};
    m_behaviour["2001:db8::1"] = Behaviour{true, "", 0, true};
    m_names["dual.example"] = {IpAddress("10.0.0.1"), IpAddress("10.0.0.2"), IpAddress("2001:db8::1")};
    // An IPv4 literal that does not answer, reachable through its NAT64 form.
    m_behaviour["192.0.2.1"] = Behaviour{false, "connect", 0, true};
    m_behaviour["64:ff9b::c000:201"] = Behaviour{true, "", 0, true};
    make({{L"dual.example"}, {L"192.0.2.1"}});
    m_lookup->setLiteralResolver([](const String& name) {
        return name == L"192.0.2.1" ? ApiHostLookup::Addresses{IpAddress("64:ff9b::c000:201")}
                                    : ApiHostLookup::Addresses{IpAddress(name)};
    });
    auto started = std::chrono::steady_clock::now();
    ApiHostLookup::Addresses won = m_lookup->race();
    ASSERT_EQ(1, won.size());
    EXPECT_EQ("2001:db8::1", won[0].toStdString());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(3000));
    EXPECT_EQ(0, m_started["10.0.0.2"]);  // interleaved after the IPv6 address, never needed
    EXPECT_EQ("I [Dns] race group=0 winner=2001:*:1 ok", log().back());

    m_names.clear();
    won = m_lookup->race();
    ASSERT_EQ(1, won.size());
    EXPECT_EQ("64:ff9b::c000:201", won[0].toStdString());
}

TEST_F(ApiHostLookupTest, DeliveriesComeThroughTheLoop) {
    m_behaviour["10.0.0.1"].ok = true;
    make({{L"10.0.0.1"}});
    std::vector<int32_t> sizes;
    auto collect = [&](const ApiHostLookup::Addresses& list) { sizes.push_back(list.size()); };

    // An empty host: no race, delivered empty on a later loop turn.
    m_lookup->lookup(L"", collect);
    EXPECT_TRUE(sizes.empty());
    EXPECT_FALSE(m_lookup->pollArmed());
    m_reactor.runOnce(0);
    EXPECT_EQ(std::vector<int32_t>{0}, sizes);
    EXPECT_TRUE(m_lookup->lastLookupEmpty());
    EXPECT_EQ(0, m_resolves);

    // Two lookups in flight share one poll timer, gone after the second delivery.
    m_lookup->lookup(L"api.test", collect);
    m_lookup->lookup(L"api.test", collect);
    EXPECT_TRUE(m_lookup->pollArmed());
    EXPECT_EQ(2, m_lookup->inflight());
    ASSERT_TRUE(kx::testing::pumpUntil(m_reactor, [&]() { return sizes.size() == 3; }));
    EXPECT_EQ((std::vector<int32_t>{0, 1, 1}), sizes);
    EXPECT_FALSE(m_lookup->lastLookupEmpty());
    EXPECT_EQ(0, m_lookup->inflight());
    EXPECT_FALSE(m_lookup->pollArmed());
    EXPECT_EQ(2, m_probes["10.0.0.1"]);  // each lookup races anew
}

TEST(ApiHostLookupMaskTest, Masks) {
    EXPECT_EQ(String(L"'a'"), ApiHostLookup::maskName(L"api.example.com"));
    EXPECT_EQ(String(L"10.*.*.7"), ApiHostLookup::maskAddress(IpAddress("10.20.30.7")));
    EXPECT_EQ(String(L"255.*.*.0"), ApiHostLookup::maskAddress(IpAddress("255.1.1.0")));
}

// The real probe against the control-API peer: connect, then an enciphered ping.
TEST(ApiProbeTest, ProbeWordsAgainstARealServer) {
    tunnel::testing::ApiPeer peer;
    ASSERT_TRUE(peer.start(false));
    const String spec = String(L"tea(") + String::fromUtf8(tunnel::testing::API_PASS) + L")";
    // Port 1: nothing listens there on a test machine.
    kx::net::URL refused(("http://api.test:" + std::to_string(peer.port() == 1 ? 2 : 1) + "/ok").c_str());

    std::atomic<bool> open{false};
    std::atomic<bool> decided{true};
    struct Case {
        const char* name;
        kx::net::URL url;
        String spec;
        IpAddress address;
        const std::atomic<bool>* done;
        bool ok;
        bool skipped;
        const char* word;
    } cases[] = {
        {"healthy", peer.url("ok"), spec, IpAddress("127.0.0.1"), &open, true, false, ""},
        {"clock skew corrected", peer.url("skew"), spec, IpAddress("127.0.0.1"), &open, true, false, ""},
        {"gateway error", peer.url("all-s502"), spec, IpAddress("127.0.0.1"), &open, false, false, "http 502"},
        {"nothing listens", refused, spec, IpAddress("127.0.0.1"), &open, false, false, "connect"},
        {"wrong body key", peer.url("ok"), L"tea(other)", IpAddress("127.0.0.1"), &open, false, false, "http 400"},
        {"foreign nonce", peer.url("all-badnonce"), spec, IpAddress("127.0.0.1"), &open, false, false,
         "HTTP: Bad response nonce"},
        {"race already decided", peer.url("ok"), spec, IpAddress("127.0.0.1"), &decided, false, true, ""},
        {"no address", peer.url("ok"), spec, IpAddress(), &open, false, false, "error"},
        {"no host", kx::net::URL("http:///x"), spec, IpAddress("127.0.0.1"), &open, false, false, "error"},
    };
    for (const Case& c : cases) {
        auto started = std::chrono::steady_clock::now();
        ApiProbe::Result result = ApiProbe::probeAddress(ApiProbe::Settings{c.url, c.spec, {}}, c.address, c.done);
        EXPECT_EQ(c.ok, result.ok) << c.name;
        EXPECT_EQ(c.skipped, result.skipped) << c.name;
        EXPECT_EQ(std::string(c.word), result.word.toStdString()) << c.name;
        // A decided or failed probe never waits for long.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500)) << c.name;
    }

    struct Port {
        const char* url;
        int32_t port;
    } ports[] = {{"https://a.test/x", 443}, {"http://a.test/x", 80}, {"HTTPS://a.test:8443", 8443},
                 {"ftp://a.test", 80},      {"http://a.test:0", 80}, {"https://a.test:99999", 443}};
    for (const Port& p : ports) EXPECT_EQ(p.port, ApiProbe::portOf(kx::net::URL(p.url))) << p.url;
}

// The bottom HTTP client words its failures by what the race found.
TEST(ApiHttpClientTest, FailuresAndTimeLimits) {
    tunnel::testing::ApiPeer peer;
    ASSERT_TRUE(peer.start(false));
    const String spec = String(L"tea(") + String::fromUtf8(tunnel::testing::API_PASS) + L")";
    SharedRecordingLogger log;
    struct Case {
        const char* name;
        kx::net::URL url;
        std::vector<const wchar_t*> group;
        int32_t limit;
        uint32_t maxMs;
        const char* error;
    } cases[] = {
        {"no address answers", peer.url("ok"), {L"127.0.0.1", L"127.0.0.2"}, 5000, 4000,
         "HTTP: \xe6\x97\xa0\xe5\x8f\xaf\xe7\x94\xa8\xe8\xa7\xa3\xe6\x9e\x90"},
        {"answer slower than the limit", peer.url("all-slow"), {L"127.0.0.1"}, 2500, 3300, "HTTP: "},
    };
    for (const Case& c : cases) {
        kx::core::Array<Strings> groups;
        Strings group;
        for (const wchar_t* e : c.group) group.append(e);
        groups.append(group);
        // The first case points the probe at a port where nothing listens.
        kx::net::URL url = c.url;
        if (c.group.size() == 2) url = kx::net::URL("http://api.test:1/ok");
        tunnel::ApiHttpClient http(url, groups, spec, &log, 120000);
        tunnel::EncryptedHttpClient encrypted(&http, spec);
        tunnel::ApiClient api(&encrypted, url);
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(tunnel::ApiClient::PING_FAILED, api.ping(c.limit)) << c.name;
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        EXPECT_LT(took.count(), c.maxMs) << c.name;
        EXPECT_EQ(0u, api.lastErrorText().toStdString().find(c.error)) << c.name << ": "
                                                                          << api.lastErrorText().toStdString();
        EXPECT_EQ(-1, api.lastErrorCode()) << c.name;
    }
}
