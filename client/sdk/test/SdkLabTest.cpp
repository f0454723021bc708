// The C API in process against a lab with a control API, switches and back
// ends, as an application would use it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LabThread.h"
#include "SdkTestEnvironment.h"
#include "core/src/crypto/Digest.h"
#include "core/src/json/JsonParser.h"
#include "core/src/misc/DateTime.h"
#include "core/src/misc/FileUtil.h"
#include "korvane.h"
#include "lab_api/ApiServer.h"
#include "lab_client/EchoClient.h"
#include "service/SdkState.h"
#include "service/WrapperService.h"
#include "tunnel_wrapper/ConfigCodec.h"

using kx::core::String;
using lab::EchoClient;
using tunnel::SdkState;
using tunnel::WrapperService;

namespace {

const char* const ACCESS_KEY = "sdk-test-key";
const char* const TEA = "tea(sdk-lab-test)";

String builtInFor(uint16_t apiPort) {
    String json = String::fromUtf8("{\"u\": \"http://127.0.0.1:" + std::to_string(apiPort) +
                                   "\", \"h\": [[\"127.0.0.1\"]], \"e\": \"" + TEA + "\"}");
    String text;
    EXPECT_TRUE(tunnel::ConfigCodec::encode(json, &text));
    return text;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool isJsonObject(const char* text) {
    kx::core::Dictionary<kx::core::Any> parsed;
    return text && kx::core::JsonParser::parseDictionary(String::fromUtf8(text), parsed);
}

long msSince(std::chrono::steady_clock::time_point since) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - since)
                    .count());
}

// Collects listener events; the listener also calls back into the API, as an
// app reacting to an event would.
struct EventLog {
    std::mutex mutex;
    std::vector<std::string> events;
    std::atomic<int> badAnswers{0};

    static void listener(const char* eventJson, void* ctx) {
        EventLog* log = static_cast<EventLog*>(ctx);
        if (!isJsonObject(eventJson) || !isJsonObject(korvane_status())) ++log->badAnswers;
        if (!korvane_error()) ++log->badAnswers;
        std::lock_guard<std::mutex> guard(log->mutex);
        log->events.push_back(eventJson);
    }
    // The events' names, each tunnel event's once per change.
    std::vector<std::string> names() {
        std::lock_guard<std::mutex> guard(mutex);
        std::vector<std::string> out;
        for (const std::string& e : events) {
            const size_t at = e.find("\"event\":\"");
            if (at == std::string::npos) continue;
            const size_t from = at + 9;
            out.push_back(e.substr(from, e.find('"', from) - from));
        }
        return out;
    }
    bool waitFor(const std::string& name, int count, int limitMs) {
        const auto t0 = std::chrono::steady_clock::now();
        while (msSince(t0) < limitMs) {
            int seen = 0;
            for (const std::string& n : names()) seen += n == name ? 1 : 0;
            if (seen >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
};

}  // namespace

class SdkLabTest : public SdkTestEnvironment {
protected:
    void SetUp() override {
        SdkTestEnvironment::SetUp();
        tcpPort = LabThread::freePort();
        udpPort = LabThread::freePort();
        ASSERT_NE(tcpPort, 0);
        const std::string config =
            std::string("{\"tick_ms\": 20, \"switches\": [") +
            "{\"name\": \"a\", \"listen\": \"127.0.0.1:0\", \"access_keys\": [\"" + ACCESS_KEY +
            "\"], \"latency\": 30},"
            "{\"name\": \"b\", \"listen\": \"127.1.0.1:0\", \"access_keys\": [\"" + ACCESS_KEY +
            "\"], \"latency\": 45}],"
            "\"backends\": [{\"name\": \"echo\", \"kind\": \"tcp_echo\", \"listen\": \"127.0.0.1:0\"},"
            "{\"name\": \"udp\", \"kind\": \"udp_echo\", \"listen\": \"127.0.0.1:0\"}],"
            "\"routes\": [{\"target_id\": 1, \"client_port\": " + std::to_string(tcpPort) +
            ", \"backend\": \"echo\"}, {\"target_id\": 1, \"client_port\": " +
            std::to_string(udpPort) + ", \"backend\": \"udp\"}],"
            "\"api\": {\"listen\": \"127.0.0.1:0\", \"tea\": \"" + TEA + "\", \"access_keys\": [\"" +
            ACCESS_KEY + "\"]}}";
        std::string error;
        ASSERT_TRUE(lab.start(String::fromUtf8(config), &error)) << error;
        apiPort = lab.call<uint16_t>(
            [](lab::LabNetwork& n) { return n.api()->httpAddress().port; });
        ASSERT_NE(apiPort, 0);
        WrapperService::overrideBuiltInConfig(builtInFor(apiPort));
    }

    void TearDown() override {
        korvane_stop();
        WrapperService::overrideBuiltInConfig(String());
        lab.stop();
        SdkTestEnvironment::TearDown();
    }

    std::string configWith(const std::string& extra = "") const {
        return std::string("{\"access_key\": \"") + ACCESS_KEY + "\", \"fast_tick_enabled\": true" +
               extra + "}";
    }

    void expectTraffic(int64_t bytes) {
        const EchoClient::Result tcp = EchoClient::tcpEcho(tcpPort, bytes, 20000, 3);
        EXPECT_TRUE(tcp.ok) << tcp.error << "\n" << korvane_status();
        EXPECT_EQ(tcp.sentMd5, tcp.receivedMd5);
        const EchoClient::Result udp = EchoClient::udpEcho(udpPort, 5, 1000, 10000);
        EXPECT_TRUE(udp.ok) << udp.error;
    }

    LabThread lab;
    uint16_t apiPort = 0;
    uint16_t tcpPort = 0;
    uint16_t udpPort = 0;
};

TEST_F(SdkLabTest, StartCarriesTrafficAcrossASwitchFailureAndStopClosesThePorts) {
    ASSERT_EQ(korvane_start(configWith().c_str()), KORVANE_OK) << korvane_error();
    EXPECT_STREQ(korvane_error(), "");
    const std::string status = korvane_status();
    EXPECT_TRUE(contains(status, "\"running\":true")) << status;
    EXPECT_TRUE(contains(status, "\"target_id\":1")) << status;

    // A second start leaves the first instance running.
    EXPECT_EQ(korvane_start(configWith().c_str()), KORVANE_ALREADY_STARTED);
    EXPECT_STREQ(korvane_error(), "[SDK] Already started");

    // The switch carrying the tunnel goes down halfway through the echo.
    const int64_t bytes = 2000000;
    std::atomic<bool> downed{false};
    const EchoClient::Result tcp =
        EchoClient::tcpEcho(tcpPort, bytes, 30000, 5, [&](int64_t received) {
            if (received >= bytes / 2 && !downed.exchange(true)) {
                lab.commandLater("down bound");
            }
        });
    EXPECT_TRUE(downed.load());
    EXPECT_TRUE(tcp.ok) << tcp.error << "\n" << korvane_status();
    EXPECT_EQ(tcp.received, bytes);
    EXPECT_EQ(tcp.sentMd5, tcp.receivedMd5);

    EXPECT_EQ(korvane_stop(), 0);
    EXPECT_FALSE(LabThread::accepts(tcpPort));
    EXPECT_TRUE(contains(korvane_status(), "\"started\":false"));
    EXPECT_FALSE(tunnel::SdkState::instance().isStarted());
}

TEST_F(SdkLabTest, LogEnabledAsCapitalTrueWritesTheLogFile) {
    ASSERT_EQ(korvane_start(configWith(", \"log_enabled\": \"TRUE\"").c_str()), KORVANE_OK)
        << korvane_error();
    const std::string log =
        debugDir() + "/log/" + kx::core::DateTime::now().dateText().toStdString() + ".log";
    kx::core::Binary content;
    ASSERT_TRUE(kx::core::FileUtil::readAll(String::fromUtf8(log), content)) << log;
    EXPECT_TRUE(contains(content.toStdString(), "[SDK] opened"));
}

TEST_F(SdkLabTest, BackgroundStopsOrKeepsAndForegroundAlwaysRebuilds) {
    struct Case {
        const char* extra;
        bool runsInBackground;
    };
    const Case cases[] = {{"", false}, {", \"lifecycle_keep_enabled\": true", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra);
        ASSERT_EQ(korvane_start(configWith(c.extra).c_str()), KORVANE_OK) << korvane_error();

        EXPECT_EQ(korvane_post_lifecycle(KORVANE_DID_ENTER_BACKGROUND), 0);
        EXPECT_EQ(SdkState::instance().isRunning(), c.runsInBackground);
        EXPECT_TRUE(SdkState::instance().isStarted());
        EXPECT_EQ(LabThread::accepts(tcpPort), c.runsInBackground);

        EXPECT_EQ(korvane_post_lifecycle(KORVANE_WILL_ENTER_FOREGROUND), 0);
        EXPECT_TRUE(SdkState::instance().isRunning()) << korvane_error();
        expectTraffic(100000);

        EXPECT_EQ(korvane_stop(), 0);
        // After a stop the notifications find nothing to do.
        korvane_post_lifecycle(KORVANE_WILL_ENTER_FOREGROUND);
        EXPECT_FALSE(SdkState::instance().isRunning());
    }
}

// A token file that does not decipher is replaced by a fresh registration.
TEST_F(SdkLabTest, DamagedTokenFileDoesNotStopTheStart) {
    const std::string stem = kx::core::Digest::md5Hex(
                                 kx::core::Binary((std::string("tunnel-") + ACCESS_KEY).c_str()))
                                 .toStdString();
    const String storage = String::fromUtf8(appDir() + "/storage");
    ASSERT_TRUE(kx::core::FileUtil::makeDirectories(storage));
    ASSERT_TRUE(kx::core::FileUtil::writeAll(storage + L"/" + String::fromUtf8(stem) + L".cfg",
                                             kx::core::Binary("\x01garbage\xff not a property file")));
    ASSERT_EQ(korvane_start(configWith().c_str()), KORVANE_OK) << korvane_error();
    expectTraffic(50000);
}

TEST_F(SdkLabTest, FailedStartsNameTheirReason) {
    struct Case {
        const char* name;
        std::string config;
        bool apiDown;
        const char* errorPrefix;
    };
    const Case cases[] = {
        {"wrong access key", "{\"access_key\": \"not-a-customer\"}", false,
         "Failed to create client: "},
        {"control API down", configWith(), true, "Failed to create client: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.apiDown) WrapperService::overrideBuiltInConfig(builtInFor(LabThread::freePort()));
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(korvane_start(c.config.c_str()), KORVANE_OPEN_FAILED);
        const std::string error = korvane_error();
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.compare(0, strlen(c.errorPrefix), c.errorPrefix), 0) << error;
        EXPECT_FALSE(SdkState::instance().isStarted());
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(30));
        EXPECT_EQ(korvane_stop(), 0);
    }
}

TEST_F(SdkLabTest, ListenerSeesOpenLossFailoverAndStopInOrder) {
    EventLog log;
    korvane_set_listener(&EventLog::listener, &log);
    ASSERT_EQ(korvane_start(configWith().c_str()), KORVANE_OK) << korvane_error();
    ASSERT_TRUE(log.waitFor("tunnel_open", 1, 5000)) << korvane_status();
    lab.commandLater("down bound");
    ASSERT_TRUE(log.waitFor("failover", 1, 15000)) << korvane_status();
    expectTraffic(10000);
    EXPECT_EQ(korvane_stop(), 0);
    ASSERT_TRUE(log.waitFor("stopped", 1, 5000));
    korvane_set_listener(nullptr, nullptr);

    const std::vector<std::string> expected = {"tunnel_open", "tunnel_lost", "tunnel_open",
                                               "failover", "stopped"};
    EXPECT_EQ(log.names(), expected);
    EXPECT_EQ(log.badAnswers.load(), 0);
}

// Many threads on the C API at once: every answer is whole JSON or text, a
// text stays put for its thread while others call, and status and error never
// wait for a start, stop or lifecycle change in progress.
TEST_F(SdkLabTest, ManyThreadsOnTheApiGetValidAnswersWithoutWaiting) {
    EventLog log;
    korvane_set_listener(&EventLog::listener, &log);
    std::atomic<bool> done{false};
    std::atomic<bool> starting{false};
    std::atomic<int> bad{0};
    std::atomic<long> slowestDuringStart{0};
    std::atomic<int> answersDuringStart{0};

    auto poll = [&](const char* (*call)(), bool json) {
        while (!done.load()) {
            const bool inStart = starting.load();
            const auto t0 = std::chrono::steady_clock::now();
            const char* text = call();
            const long took = msSince(t0);
            if (!text || (json && !isJsonObject(text))) ++bad;
            const std::string copy = text ? text : "";
            if (inStart && starting.load()) {
                ++answersDuringStart;
                long seen = slowestDuringStart.load();
                while (took > seen && !slowestDuringStart.compare_exchange_weak(seen, took)) {
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (text && copy != text) ++bad;  // another thread's call changed this one's text
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) threads.emplace_back(poll, &korvane_status, true);
    for (int i = 0; i < 2; ++i) threads.emplace_back(poll, &korvane_error, false);
    threads.emplace_back([&] {
        while (!done.load()) {
            korvane_post_lifecycle(KORVANE_DID_ENTER_BACKGROUND);
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            korvane_post_lifecycle(KORVANE_WILL_ENTER_FOREGROUND);
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
    });

    int started = 0;
    for (int round = 0; round < 3; ++round) {
        starting = true;
        const int rc = korvane_start(configWith().c_str());
        starting = false;
        if (rc == KORVANE_OK) ++started;
        EXPECT_TRUE(rc == KORVANE_OK || rc == KORVANE_OPEN_FAILED) << rc << " " << korvane_error();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(korvane_stop(), 0);
    }
    done = true;
    for (std::thread& t : threads) t.join();
    korvane_set_listener(nullptr, nullptr);

    EXPECT_GE(started, 1);
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(log.badAnswers.load(), 0);
    EXPECT_GT(answersDuringStart.load(), 10);
    EXPECT_LT(slowestDuringStart.load(), 250);
    EXPECT_TRUE(contains(korvane_status(), "\"started\":false")) << korvane_status();
}
