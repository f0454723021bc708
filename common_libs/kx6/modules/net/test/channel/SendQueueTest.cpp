#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/src/channel/SendQueue.h"
#include "net/test/support/LoopbackSupport.h"

using kx::core::Binary;
using kx::net::SendQueue;

namespace {

// What a gathered write of at most `limit` bytes in `max` entries would send.
std::string gathered(const SendQueue& q, int max, int64_t limit) {
    iovec iov[SendQueue::MAX_GATHER];
    int n = q.gather(iov, max, limit);
    std::string out;
    for (int i = 0; i < n; ++i) out.append(static_cast<const char*>(iov[i].iov_base), iov[i].iov_len);
    return out;
}

// Drains the queue in steps of `step` bytes (a short write each time),
// checking each step against the expected stream.
std::string drain(SendQueue& q, int64_t step) {
    std::string out;
    while (!q.isEmpty()) {
        std::string part = gathered(q, SendQueue::MAX_GATHER, step);
        EXPECT_FALSE(part.empty());
        if (part.empty()) break;
        out += part;
        q.consume(int64_t(part.size()));
    }
    return out;
}

}  // namespace

TEST(SendQueueTest, CopiedMovedAndSharedBytesLeaveInOrderWhateverTheWriteSizes) {
    // Partial writes of every kind: a byte, inside a segment, across several.
    for (int64_t step : {int64_t(1), int64_t(1000), int64_t(16385), int64_t(70000), int64_t(1) << 30}) {
        SCOPED_TRACE(step);
        SendQueue q;
        q.setKeep(262144);
        std::string expected;
        auto shared = std::make_shared<const Binary>(kx::net::test::pattern(20000, 3));
        for (int round = 0; round < 3; ++round) {
            Binary small = kx::net::test::pattern(100 + round, round);
            q.append(small.data(), small.length());  // copied into the tail chunk
            expected += small.toStdString();
            Binary big = kx::net::test::pattern(SendQueue::ADOPT_MIN + round, 7 + round);
            std::string bigText = big.toStdString();
            q.append(std::move(big));  // queued as it is
            EXPECT_TRUE(big.isEmpty());
            expected += bigText;
            Binary shortMoved("tiny");
            q.append(std::move(shortMoved));  // short: copied, the caller keeps it
            EXPECT_EQ(Binary("tiny"), shortMoved);
            expected += "tiny";
            q.append(shared, 10, 5000);
            expected += shared->toStdString().substr(10, 5000);
        }
        Binary huge = kx::net::test::pattern(3 * SendQueue::CHUNK + 17, 9);
        q.append(huge.data(), huge.length());  // spans several chunks
        expected += huge.toStdString();
        EXPECT_EQ(int64_t(expected.size()), q.bytes());
        EXPECT_EQ(expected, drain(q, step));
        EXPECT_EQ(0, q.bytes());
        EXPECT_EQ(0, q.segmentCount());
        EXPECT_EQ(1, shared.use_count());  // references dropped once written
    }
}

TEST(SendQueueTest, GatherRespectsEntryAndByteLimits) {
    SendQueue q;
    for (int i = 0; i < 10; ++i) {
        Binary b = kx::net::test::pattern(SendQueue::ADOPT_MIN, i);
        q.append(std::move(b));
    }
    iovec iov[SendQueue::MAX_GATHER];
    EXPECT_EQ(3, q.gather(iov, 3, 1 << 30));
    EXPECT_EQ(2, q.gather(iov, 64, SendQueue::ADOPT_MIN + 1));
    EXPECT_EQ(1u, iov[1].iov_len);
    EXPECT_EQ(0, q.gather(iov, 64, 0));
    q.consume(SendQueue::ADOPT_MIN + 1);
    EXPECT_EQ(9, q.gather(iov, 64, 1 << 30));
    EXPECT_EQ(size_t(SendQueue::ADOPT_MIN - 1), iov[0].iov_len);
    q.clear();
    EXPECT_TRUE(q.isEmpty());
    EXPECT_EQ(0, q.gather(iov, 64, 1 << 30));
}

TEST(SendQueueTest, WrittenStorageIsReusedWithinTheKeepLimit) {
    SendQueue q;
    q.setKeep(16384);
    Binary piece = kx::net::test::pattern(16384, 1);
    const uint8_t* storage = piece.data();
    q.append(std::move(piece));
    q.consume(q.bytes());
    // The written piece comes back for the next one, emptied.
    Binary next;
    ASSERT_TRUE(q.takeSpare(&next, 16384));
    EXPECT_EQ(storage, next.data());
    EXPECT_TRUE(next.isEmpty());
    EXPECT_FALSE(q.takeSpare(&next, 1));
    // Without a keep limit nothing is held once written.
    SendQueue none;
    Binary other = kx::net::test::pattern(8192, 2);
    none.append(std::move(other));
    none.consume(none.bytes());
    Binary out;
    EXPECT_FALSE(none.takeSpare(&out, 1));
}
