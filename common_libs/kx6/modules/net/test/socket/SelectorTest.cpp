#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "core/src/time/Clock.h"
#include "net/src/socket/SocketEventSelector.h"
#include "net/test/support/LoopbackSupport.h"

using namespace kx::net;
using kx::core::Binary;
using kx::core::Clock;

namespace {

long elapsedMs(std::chrono::steady_clock::time_point since) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - since)
                    .count());
}

// A UDP socket with a datagram waiting, so it polls readable until drained.
struct ReadyHandler : ISocketEventHandler {
    Socket socket{Socket::TYPE_UDP};
    int mask = EVENT_READ;
    std::vector<int> events;
    std::function<void(int)> action;

    ReadyHandler() {
        socket.bind(test::loopback());
        Socket sender(Socket::TYPE_UDP);
        Binary d("x");
        sender.sendTo(d, 0, 1, socket.localAddress());
        socket.waitReady(true, false, false, 1000);
    }
    int eventMask() override { return mask; }
    void onSocketEvent(int e) override {
        events.push_back(e);
        if (action) action(e);
    }
    int count(int e) const {
        int n = 0;
        for (int x : events) n += x == e ? 1 : 0;
        return n;
    }
};

class SelectorTest : public ::testing::Test {
protected:
    void SetUp() override { Clock::resetForTests(); }
    void TearDown() override { Clock::resetForTests(); }
};

}  // namespace

TEST_F(SelectorTest, PacesItselfWhenNothingIsPolled) {
    SocketEventSelector selector(0);
    auto t0 = std::chrono::steady_clock::now();
    selector.select(0);
    EXPECT_LT(elapsedMs(t0), 50);

    t0 = std::chrono::steady_clock::now();
    selector.select(100);
    EXPECT_GE(elapsedMs(t0), 90);

    // Registered but not interested: still paces.
    ReadyHandler idle;
    idle.mask = 0;
    SocketEventSelector ticking(1000);
    ASSERT_TRUE(ticking.addEventHandler(idle.socket.handle(), &idle));
    t0 = std::chrono::steady_clock::now();
    ticking.select(100);
    EXPECT_GE(elapsedMs(t0), 90);
    EXPECT_TRUE(idle.events.empty());
}

TEST_F(SelectorTest, RegistrationRefusals) {
    SocketEventSelector selector(1000);
    ReadyHandler h;
    EXPECT_FALSE(selector.addEventHandler(-1, &h));
    EXPECT_FALSE(selector.addEventHandler(h.socket.handle(), nullptr));
    EXPECT_TRUE(selector.addEventHandler(h.socket.handle(), &h));
    ReadyHandler other;
    EXPECT_FALSE(selector.addEventHandler(h.socket.handle(), &other));  // first one kept
    EXPECT_TRUE(selector.hasEventHandler(h.socket.handle()));
    selector.removeEventHandler(h.socket.handle());
    EXPECT_FALSE(selector.hasEventHandler(h.socket.handle()));
    selector.removeEventHandler(h.socket.handle());  // unknown: no effect
}

TEST_F(SelectorTest, RefusesHandlerBeyondFdLimit) {
    SocketEventSelector selector(1000);
    ReadyHandler h;
    // Registration does not touch the descriptors, so plain numbers will do.
    for (int fd = 100000; fd < 100000 + KX_FD_LIMIT; ++fd) {
        ASSERT_TRUE(selector.addEventHandler(fd, &h));
    }
    EXPECT_EQ(KX_FD_LIMIT, selector.handlerCount());
    EXPECT_FALSE(selector.addEventHandler(100000 + KX_FD_LIMIT, &h));
    selector.removeEventHandler(100000);
    EXPECT_TRUE(selector.addEventHandler(100000 + KX_FD_LIMIT, &h));
}

TEST_F(SelectorTest, DispatchesInReverseOfPollOrder) {
    SocketEventSelector selector(1000);
    ReadyHandler a, b, c;
    std::vector<char> order;
    a.action = [&](int) { order.push_back('a'); };
    b.action = [&](int) { order.push_back('b'); };
    c.action = [&](int) { order.push_back('c'); };
    selector.addEventHandler(a.socket.handle(), &a);
    selector.addEventHandler(b.socket.handle(), &b);
    selector.addEventHandler(c.socket.handle(), &c);
    selector.select(100);
    EXPECT_EQ((std::vector<char>{'c', 'b', 'a'}), order);
    EXPECT_EQ(3, selector.polledCount());
    EXPECT_EQ(ISocketEventHandler::EVENT_READ, a.events.at(0));
}

TEST_F(SelectorTest, HandlerRemovedDuringRoundIsNotCalled) {
    SocketEventSelector selector(1000);
    ReadyHandler first, second;
    selector.addEventHandler(first.socket.handle(), &first);
    selector.addEventHandler(second.socket.handle(), &second);
    // `second` is dispatched first and removes `first`.
    second.action = [&](int) { selector.removeEventHandler(first.socket.handle()); };
    selector.select(100);
    EXPECT_EQ(1u, second.events.size());
    EXPECT_TRUE(first.events.empty());
}

TEST_F(SelectorTest, HandlerRemovingItselfDoesNotSkipOthers) {
    SocketEventSelector selector(1000);
    ReadyHandler a, b, c;
    selector.addEventHandler(a.socket.handle(), &a);
    selector.addEventHandler(b.socket.handle(), &b);
    selector.addEventHandler(c.socket.handle(), &c);
    b.action = [&](int) { selector.removeEventHandler(b.socket.handle()); };
    selector.select(100);
    EXPECT_EQ(1u, a.events.size());
    EXPECT_EQ(1u, b.events.size());
    EXPECT_EQ(1u, c.events.size());
    EXPECT_FALSE(selector.hasEventHandler(b.socket.handle()));
}

TEST_F(SelectorTest, ReentrantSelectReturnsAtOnce) {
    SocketEventSelector selector(1000);
    ReadyHandler a, b;
    selector.addEventHandler(a.socket.handle(), &a);
    selector.addEventHandler(b.socket.handle(), &b);
    long innerMs = -1;
    b.action = [&](int) {
        auto t0 = std::chrono::steady_clock::now();
        selector.select(2000);
        innerMs = elapsedMs(t0);
    };
    selector.select(100);
    EXPECT_GE(innerMs, 0);
    EXPECT_LT(innerMs, 50);
    EXPECT_EQ(1u, a.events.size());  // the outer round went on
    EXPECT_EQ(1u, b.events.size());
}

TEST_F(SelectorTest, TickReachesEveryHandlerOncePerInterval) {
    Clock::freeze(1000000);
    SocketEventSelector selector(1000);
    ReadyHandler busy, idle;
    idle.mask = 0;
    selector.addEventHandler(busy.socket.handle(), &busy);
    selector.addEventHandler(idle.socket.handle(), &idle);
    for (int i = 0; i < 25; ++i) {  // 2.5 s of 100 ms rounds
        Clock::advance(100);
        selector.select(0);
    }
    EXPECT_EQ(2, idle.count(0));
    EXPECT_EQ(2, busy.count(0));
    EXPECT_GE(busy.count(ISocketEventHandler::EVENT_READ), 1);
}

TEST_F(SelectorTest, WaitIsCutToTheNextTick) {
    SocketEventSelector selector(50);
    ReadyHandler idle;
    idle.mask = 0;
    selector.addEventHandler(idle.socket.handle(), &idle);
    auto t0 = std::chrono::steady_clock::now();
    while (idle.count(0) == 0 && elapsedMs(t0) < 1000) selector.select(-1);
    EXPECT_EQ(1, idle.count(0));
    EXPECT_LT(elapsedMs(t0), 500);
}

TEST_F(SelectorTest, TickHandlerMayRemoveOthers) {
    Clock::freeze(5000);
    SocketEventSelector selector(1000);
    ReadyHandler a, b;
    a.mask = b.mask = 0;
    selector.addEventHandler(a.socket.handle(), &a);
    selector.addEventHandler(b.socket.handle(), &b);
    auto removeOther = [&](ReadyHandler& other) {
        return [&](int) { selector.removeEventHandler(other.socket.handle()); };
    };
    a.action = removeOther(b);
    b.action = removeOther(a);
    Clock::advance(1000);
    selector.select(0);
    EXPECT_EQ(1u, a.events.size() + b.events.size());
}

// A write request is delivered right after the callback that made it, once
// however often it was made, and never to a handler removed meanwhile.
TEST_F(SelectorTest, FlushRequestsBecomeWriteEventsAfterTheRunningCallback) {
    SocketEventSelector selector(0);
    ReadyHandler trigger;
    ReadyHandler writer;
    ReadyHandler removed;
    writer.mask = 0;  // not polled: only a flush can reach it
    removed.mask = 0;
    ASSERT_TRUE(selector.addEventHandler(trigger.socket.handle(), &trigger));
    ASSERT_TRUE(selector.addEventHandler(writer.socket.handle(), &writer));
    ASSERT_TRUE(selector.addEventHandler(removed.socket.handle(), &removed));
    trigger.action = [&](int e) {
        if (e == 0) return;  // the tick
        selector.requestFlush(writer.socket.handle());
        selector.requestFlush(writer.socket.handle());
        selector.requestFlush(removed.socket.handle());
        selector.removeEventHandler(removed.socket.handle());
        EXPECT_TRUE(writer.events.empty());  // not from inside the callback
        trigger.mask = 0;
    };
    selector.select(100);
    EXPECT_EQ(trigger.count(ISocketEventHandler::EVENT_READ), 1);
    EXPECT_EQ(writer.count(ISocketEventHandler::EVENT_WRITE), 1);
    EXPECT_TRUE(removed.events.empty());

    // Outside a round, a request waits for the start of the next one.
    selector.requestFlush(writer.socket.handle());
    EXPECT_EQ(writer.count(ISocketEventHandler::EVENT_WRITE), 1);
    selector.select(0);
    EXPECT_EQ(writer.count(ISocketEventHandler::EVENT_WRITE), 2);
}

// Debug and sanitizer builds catch a handler registered from another thread
// once the loop runs; release builds do not check.
TEST_F(SelectorTest, RegistrationFromAnotherThreadIsCaughtWhereChecked) {
    if (!KX_LOOP_THREAD_CHECKS) GTEST_SKIP() << "release build: no loop-thread checks";
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_DEATH(
        {
            SocketEventSelector selector(0);
            selector.select(0);
            ReadyHandler handler;
            std::thread other(
                [&] { selector.addEventHandler(handler.socket.handle(), &handler); });
            other.join();
        },
        "");
}

// A stop from another thread must not wait for the next tick.
TEST_F(SelectorTest, WakeUpFromAnotherThreadEndsTheWait) {
    SocketEventSelector selector(10000);
    ReadyHandler idle;
    idle.mask = 0;
    selector.addEventHandler(idle.socket.handle(), &idle);
    selector.wakeUp();  // before the round: the next select returns at once
    auto t0 = std::chrono::steady_clock::now();
    selector.select(-1);
    EXPECT_LT(elapsedMs(t0), 500);

    std::thread waker([&selector] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        selector.wakeUp();
    });
    t0 = std::chrono::steady_clock::now();
    selector.select(5000);
    waker.join();
    EXPECT_LT(elapsedMs(t0), 2000);
    EXPECT_EQ(0, selector.polledCount());
    EXPECT_EQ(0u, selector.tickCount());
}
