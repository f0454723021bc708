#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "async/src/Reactor.h"
#include "async/src/StaticNameLookup.h"
#include "async/src/ThreadExecutor.h"
#include "async/test/support/Pump.h"
#include "core/src/time/Clock.h"

using kx::async::Reactor;

TEST(Reactor, PostRunsLaterInOrderAndPostsFromACompletionRunInTheSameDrain) {
    Reactor reactor;
    std::string trace;
    reactor.post([&]() {
        trace += "a";
        reactor.post([&]() { trace += "c"; });
    });
    reactor.post([&]() { trace += "b"; });
    reactor.post(nullptr);  // ignored
    EXPECT_EQ("", trace);   // never inside post
    EXPECT_EQ(2, reactor.inflight());
    EXPECT_FALSE(reactor.idle());
    reactor.runOnce(0);
    EXPECT_EQ("abc", trace);
    EXPECT_TRUE(reactor.idle());
}

TEST(Reactor, DelayZeroFiresTrueAtNextStepAndCancelledDelayFiresFalse) {
    Reactor reactor;
    std::vector<bool> fired;
    int first = reactor.delay([&](bool ok) { fired.push_back(ok); }, 0);
    int second = reactor.delay([&](bool ok) { fired.push_back(ok); }, 0);
    EXPECT_NE(0, first);
    EXPECT_NE(first, second);
    reactor.cancelDelay(second);
    reactor.cancelDelay(12345);  // unknown: nothing changes
    EXPECT_TRUE(fired.empty());
    reactor.runOnce(0);
    ASSERT_EQ(2u, fired.size());
    EXPECT_FALSE(fired[0]);  // the cancelled one was queued first
    EXPECT_TRUE(fired[1]);
    EXPECT_TRUE(reactor.idle());

    EXPECT_EQ(0, reactor.delay(nullptr, 5));
    EXPECT_EQ(0, reactor.delay([](bool) {}, -1));
    EXPECT_TRUE(reactor.idle());
}

TEST(Reactor, LongDelayFollowsTheTestClock) {
    kx::core::Clock::resetForTests();
    Reactor reactor;
    int fired = -1;
    reactor.delay([&](bool ok) { fired = ok ? 1 : 0; }, 60000);
    reactor.runOnce(0);
    EXPECT_EQ(-1, fired);
    kx::core::Clock::advance(60001);
    reactor.runOnce(0);
    EXPECT_EQ(1, fired);
    kx::core::Clock::resetForTests();
}

TEST(Reactor, RunOnceFromACompletionReturnsAtOnce) {
    Reactor reactor;
    int inner = 0;
    reactor.post([&]() {
        reactor.post([&]() { ++inner; });
        reactor.runOnce(1000);  // re-entrant: returns immediately, runs nothing
        EXPECT_EQ(0, inner);
    });
    auto started = std::chrono::steady_clock::now();
    reactor.runOnce(0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
    EXPECT_EQ(1, inner);
}

TEST(Reactor, WaitIsCutShortByTheEarliestDelay) {
    Reactor reactor;
    bool fired = false;
    reactor.delay([&](bool) { fired = true; }, 20);
    auto started = std::chrono::steady_clock::now();
    reactor.runOnce(2000);
    EXPECT_TRUE(fired);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1000));
}

TEST(StaticNameLookup, DeliversCopiesLaterAndNothingForUnknownHosts) {
    Reactor reactor;
    kx::async::StaticNameLookup::HostMap hosts;
    hosts[L"api.test"] = {kx::net::IpAddress("127.0.0.2"), kx::net::IpAddress("127.0.0.3")};
    kx::async::StaticNameLookup lookup(&reactor, hosts);
    int calls = 0;
    kx::core::Array<kx::net::IpAddress> known, unknown;
    lookup.lookup(L"api.test", [&](const kx::core::Array<kx::net::IpAddress>& a) {
        ++calls;
        known = a;
    });
    lookup.lookup(L"other.test", [&](const kx::core::Array<kx::net::IpAddress>& a) {
        ++calls;
        unknown = a;
    });
    lookup.lookup(L"api.test", nullptr);
    EXPECT_EQ(0, calls);
    EXPECT_FALSE(lookup.idle());
    reactor.runOnce(0);
    EXPECT_EQ(2, calls);
    ASSERT_EQ(2, known.size());
    EXPECT_EQ("127.0.0.3", known[1].toStdString());
    EXPECT_TRUE(unknown.isEmpty());
    EXPECT_TRUE(lookup.idle());
}

TEST(ThreadExecutor, RunsTasksInOrderOnItsOwnThread) {
    kx::async::ThreadExecutor executor;
    std::vector<int> order;
    std::thread::id worker;
    for (int i = 0; i < 50; ++i) {
        executor.post([&, i]() {
            order.push_back(i);
            worker = std::this_thread::get_id();
        });
    }
    executor.post(nullptr);
    for (int i = 0; i < 500 && !executor.idle(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(executor.idle());
    ASSERT_EQ(50u, order.size());
    for (int i = 0; i < 50; ++i) EXPECT_EQ(i, order[static_cast<size_t>(i)]);
    EXPECT_NE(std::this_thread::get_id(), worker);
}
