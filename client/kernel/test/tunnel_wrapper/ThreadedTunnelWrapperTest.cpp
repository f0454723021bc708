#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/src/json/JsonParser.h"
#include "core/src/time/Clock.h"
#include "core/src/value/AnyConvert.h"
#include "tunnel_launcher/ApiTestSupport.h"
#include "tunnel_wrapper/ThreadedTunnelWrapper.h"
#include "util/src/log/ThreadSafeLogRecorder.h"

using kx::core::Clock;
using kx::core::String;
using tunnel::ITunnelWorker;
using tunnel::LauncherStatus;
using tunnel::TargetStatusSnapshot;
using tunnel::ThreadedTunnelWrapper;

namespace {

const int32_t STEP_MS = 1000;  // test-clock time one worker round takes

// Clients that come up at scripted test-clock times. Every tick moves the
// frozen test clock by STEP_MS, so the worker's 12 s and 3 s bounds pass in
// a few dozen fast rounds.
struct Script {
    bool running = true;
    std::string errorText;
    // Test-clock ms after the start at which each client becomes ready; -1: never.
    std::vector<int32_t> readyAt;
};

class ScriptedWorker : public ITunnelWorker {
public:
    ScriptedWorker(const Script& script, std::atomic<int>* ticks)
        : m_script(script), m_ticks(ticks), m_start(Clock::nowMs()) {}

    bool isRunning() const override { return m_script.running; }
    void tick() override {
        ++*m_ticks;
        Clock::advance(STEP_MS);
    }
    String errorText() const override { return String::fromUtf8(m_script.errorText); }
    LauncherStatus status() const override {
        LauncherStatus status;
        status.clientCount = static_cast<int32_t>(m_script.readyAt.size());
        const int64_t elapsed = static_cast<int32_t>(Clock::nowMs() - m_start);
        for (int32_t at : m_script.readyAt) {
            if (at >= 0 && elapsed >= at) ++status.readyCount;
        }
        return status;
    }
    kx::core::Array<TargetStatusSnapshot> takeStatus() override {
        kx::core::Array<TargetStatusSnapshot> out;
        for (size_t i = 0; i < m_script.readyAt.size(); ++i) {
            TargetStatusSnapshot s;
            s.targetId = static_cast<int64_t>(i + 1);
            s.switchText = L"none";
            s.state = L"idle";
            if (m_script.readyAt[i] < 0) s.lastError = L"No switchs are available";
            out.append(s);
        }
        return out;
    }

private:
    Script m_script;
    std::atomic<int>* m_ticks;
    uint32_t m_start;
};

class ThreadedTunnelWrapperTest : public ::testing::Test {
protected:
    void SetUp() override { Clock::freeze(1000000); }
    void TearDown() override { Clock::resetForTests(); }

    std::unique_ptr<ThreadedTunnelWrapper> start(const Script& script) {
        return std::unique_ptr<ThreadedTunnelWrapper>(
            new ThreadedTunnelWrapper(&logger, [this, script](kx::net::SocketEventSelector*) {
                return std::unique_ptr<ITunnelWorker>(new ScriptedWorker(script, &ticks));
            }));
    }

    tunnel::testing::SharedRecordingLogger recorder;
    kx::util::ThreadSafeLogRecorder logger{&recorder};
    std::atomic<int> ticks{0};
};

TEST_F(ThreadedTunnelWrapperTest, StartWaitsWithinItsBounds) {
    struct Case {
        const char* name;
        std::vector<int32_t> readyAt;
        bool opened;
        int64_t minMs;  // test-clock time the start took
        int64_t maxMs;
        const char* error;
    } const cases[] = {
        {"one client ready at once", {0}, true, 0, 0, ""},
        {"one client ready after 2 s", {2000}, true, 2000, 2000, ""},
        {"all of three ready by 4 s", {1000, 4000, 3000}, true, 4000, 4000, ""},
        {"one of three never: 3 s more", {1000, -1, 2000}, true, 4000, 4000, ""},
        {"first ready late: the rest get what is left", {11000, -1}, true, 12000, 12000, ""},
        {"none ready within 12 s", {-1}, false, 12000, 12000,
         "[Wrapper] No tunnel opened within 12000 ms (Target #1: No switchs are available)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Script script;
        script.readyAt = c.readyAt;
        std::unique_ptr<ThreadedTunnelWrapper> wrapper = start(script);
        EXPECT_EQ(wrapper->isOpened(), c.opened);
        EXPECT_GE(wrapper->startDuration(), c.minMs);
        EXPECT_LE(wrapper->startDuration(), c.maxMs);
        EXPECT_EQ(wrapper->errorText().toStdString(), c.error);
        wrapper.reset();
    }
}

TEST_F(ThreadedTunnelWrapperTest, AWorkerThatDidNotStartFailsAtOnceWithItsReason) {
    struct Case {
        const char* workerError;
        const char* expected;
    } const cases[] = {
        {"Failed to create client: connection refused", "Failed to create client: connection refused"},
        {"", "[Wrapper] No usable target"},  // would otherwise fail without a word
    };
    for (const Case& c : cases) {
        Script script;
        script.running = false;
        script.errorText = c.workerError;
        ticks = 0;
        std::unique_ptr<ThreadedTunnelWrapper> wrapper = start(script);
        EXPECT_FALSE(wrapper->isOpened());
        EXPECT_EQ(wrapper->errorText().toStdString(), c.expected);
        EXPECT_EQ(ticks.load(), 0);
        EXPECT_NE(wrapper->statusJson().toStdString().find("\"state\":\"failed\""),
                  std::string::npos);
    }
}

TEST_F(ThreadedTunnelWrapperTest, StopReturnsWithinARoundAndStatusIsPublished) {
    Script script;
    script.readyAt = {0, -1};
    std::unique_ptr<ThreadedTunnelWrapper> wrapper = start(script);
    ASSERT_TRUE(wrapper->isOpened());

    // The running worker refreshes the status once a (test-clock) second.
    const int before = ticks.load();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (ticks.load() < before + 4 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kx::core::AnyDictionary status;
    ASSERT_TRUE(kx::core::JsonParser::parseDictionary(wrapper->statusJson(), status))
        << wrapper->statusJson().toStdString();
    EXPECT_EQ(kx::core::AnyConvert::toText(*status.find(L"state")), String(L"open"));
    EXPECT_TRUE(kx::core::AnyConvert::toBool(*status.find(L"opened")));
    EXPECT_EQ(kx::core::AnyConvert::toInt32(*status.find(L"client_count")), 2);
    EXPECT_EQ(kx::core::AnyConvert::toInt32(*status.find(L"ready_count")), 1);
    ASSERT_TRUE(status.find(L"targets")->is<kx::core::AnyArray>());
    EXPECT_EQ(status.find(L"targets")->as<kx::core::AnyArray>().size(), 2);

    const auto stopAt = std::chrono::steady_clock::now();
    wrapper.reset();
    const auto took = std::chrono::steady_clock::now() - stopAt;
    EXPECT_LT(took, std::chrono::milliseconds(500));
}

}  // namespace
