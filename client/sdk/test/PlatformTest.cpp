#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/SerialQueue.h"

using tunnel::NotificationCenter;
using tunnel::SerialQueue;

TEST(SerialQueueTest, NestedSubmitRunsInlineInsteadOfDeadlocking) {
    SerialQueue queue("test.nested");
    std::vector<int> order;
    EXPECT_FALSE(queue.isCurrent());
    queue.sync([&] {
        order.push_back(1);
        EXPECT_TRUE(queue.isCurrent());
        queue.sync([&] { order.push_back(2); });
        order.push_back(3);
    });
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(SerialQueueTest, BlocksFromTwoThreadsNeverOverlap) {
    SerialQueue queue("test.serial");
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    auto work = [&] {
        for (int i = 0; i < 200; ++i) {
            queue.sync([&] {
                if (++inside != 1) ++overlaps;
                std::this_thread::yield();
                --inside;
            });
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(overlaps.load(), 0);
}

TEST(NotificationCenterTest, PostReachesOnlyObserversOfThatName) {
    NotificationCenter center;
    int background = 0, foreground = 0;
    int owner1 = 0, owner2 = 0;
    center.addObserver(&owner1, NotificationCenter::DID_ENTER_BACKGROUND, [&] { ++background; });
    center.addObserver(&owner1, NotificationCenter::WILL_ENTER_FOREGROUND, [&] { ++foreground; });
    center.addObserver(&owner2, NotificationCenter::WILL_ENTER_FOREGROUND, [&] { ++foreground; });

    EXPECT_EQ(center.post(NotificationCenter::DID_ENTER_BACKGROUND), 1);
    EXPECT_EQ(center.post(NotificationCenter::WILL_ENTER_FOREGROUND), 2);
    center.removeObserver(&owner1);
    EXPECT_EQ(center.post(NotificationCenter::DID_ENTER_BACKGROUND), 0);
    EXPECT_EQ(center.post(NotificationCenter::WILL_ENTER_FOREGROUND), 1);
    EXPECT_EQ(background, 1);
    EXPECT_EQ(foreground, 3);
}

// A handler that stops the SDK uninstalls the observer while the post runs.
TEST(NotificationCenterTest, HandlerMayRemoveObserversDuringPost) {
    NotificationCenter center;
    int owner = 0, calls = 0;
    center.addObserver(&owner, NotificationCenter::DID_ENTER_BACKGROUND, [&] {
        ++calls;
        center.removeObserver(&owner);
    });
    EXPECT_EQ(center.post(NotificationCenter::DID_ENTER_BACKGROUND), 1);
    EXPECT_EQ(center.post(NotificationCenter::DID_ENTER_BACKGROUND), 0);
    EXPECT_EQ(calls, 1);
}
