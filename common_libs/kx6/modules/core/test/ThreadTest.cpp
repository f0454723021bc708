#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/src/thread/CriticalSection.h"
#include "core/src/thread/LockGuard.h"
#include "core/src/thread/Semaphore.h"
#include "core/src/thread/Thread.h"

using namespace kx::core;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {
// Bounded wait for a condition another thread makes true.
template <typename Pred>
bool waitFor(Pred pred, int ms = 2000) {
    auto until = steady_clock::now() + milliseconds(ms);
    while (!pred()) {
        if (steady_clock::now() > until) return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}
}  // namespace

TEST(Thread, StartRunsTheBodyAndStopWaitsForIt) {
    Thread t;
    std::atomic<int> rounds{0};
    std::atomic<bool> left{false};
    ASSERT_TRUE(t.start([&] {
        while (t.isRunning()) {
            ++rounds;
            std::this_thread::sleep_for(milliseconds(1));
        }
        left = true;
    }));
    EXPECT_EQ(t.state(), Thread::State::RUNNING);
    EXPECT_FALSE(t.start([] {}));  // refused while running
    EXPECT_TRUE(waitFor([&] { return rounds > 0; }));
    t.stop(-1);
    EXPECT_TRUE(left);
    EXPECT_EQ(t.state(), Thread::State::STOPPED);
}

TEST(Thread, BodyEndingByItselfAllowsARestart) {
    Thread t;
    std::atomic<int> runs{0};
    ASSERT_TRUE(t.start([&] { ++runs; }));
    ASSERT_TRUE(waitFor([&] { return t.state() == Thread::State::STOPPED; }));
    t.stop(-1);  // already stopped: returns at once
    EXPECT_EQ(runs, 1);

    // The end signal of the first run must not satisfy the second start.
    ASSERT_TRUE(t.start([&] {
        ++runs;
        while (t.isRunning()) std::this_thread::sleep_for(milliseconds(1));
    }));
    EXPECT_EQ(t.state(), Thread::State::RUNNING);
    t.stop(-1);
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(t.state(), Thread::State::STOPPED);
}

TEST(Thread, StopWithTimeoutGivesUpOnABusyBody) {
    Thread t;
    Semaphore gate;
    ASSERT_TRUE(t.start([&] { gate.wait(-1); }));
    auto before = steady_clock::now();
    t.stop(50);
    EXPECT_GE(steady_clock::now() - before, milliseconds(40));
    EXPECT_EQ(t.state(), Thread::State::STOPPING);
    gate.signal();
    t.stop(-1);
    EXPECT_EQ(t.state(), Thread::State::STOPPED);
}

TEST(Thread, DestructorStopsARunningBodyAndItsCapturesDieFirst) {
    std::atomic<bool> left{false};
    auto marker = std::make_shared<int>(1);
    std::weak_ptr<int> watch = marker;
    {
        Thread t;
        ASSERT_TRUE(t.start([&t, &left, marker] {
            while (t.isRunning()) std::this_thread::sleep_for(milliseconds(1));
            left = true;
        }));
        marker.reset();
    }
    EXPECT_TRUE(left);
    EXPECT_TRUE(watch.expired());
}

TEST(Semaphore, CountsTimesOutAndDrains) {
    Semaphore s;
    auto before = steady_clock::now();
    EXPECT_FALSE(s.wait(30));
    EXPECT_GE(steady_clock::now() - before, milliseconds(25));
    EXPECT_FALSE(s.wait(0));

    EXPECT_TRUE(s.signal(2));
    EXPECT_TRUE(s.wait(0));
    EXPECT_TRUE(s.wait(-1));
    EXPECT_FALSE(s.wait(0));

    s.signal(3);
    s.drain();
    EXPECT_FALSE(s.wait(0));
}

TEST(Semaphore, WakesAWaiterOnAnotherThread) {
    Semaphore s;
    std::atomic<bool> got{false};
    std::thread waiter([&] { got = s.wait(2000); });
    std::this_thread::sleep_for(milliseconds(10));
    s.signal();
    waiter.join();
    EXPECT_TRUE(got);
}

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads) {
    CriticalSection cs;
    LockGuard outer(cs);
    {
        LockGuard inner(cs);  // same thread: no deadlock
        bool otherGot = true;
        std::thread([&] { otherGot = cs.tryLock(); }).join();
        EXPECT_FALSE(otherGot);
    }
    bool otherGot = true;
    std::thread([&] { otherGot = cs.tryLock(); }).join();
    EXPECT_FALSE(otherGot);  // still held once
}

TEST(CriticalSection, ReleasedAfterTheLastUnlock) {
    CriticalSection cs;
    cs.lock();
    cs.lock();
    cs.unlock();
    cs.unlock();
    bool otherGot = false;
    std::thread([&] {
        otherGot = cs.tryLock();
        if (otherGot) cs.unlock();
    }).join();
    EXPECT_TRUE(otherGot);
}
