#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "core/src/value/Binary.h"
#include "lab_backend/BackendChannel.h"
#include "lab_switch/SwitchChannel.h"
#include "net/src/channel/SizeHeaderCapsulator.h"
#include "net/src/socket/Socket.h"
#include "net/src/socket/SocketEventSelector.h"

namespace {

using kx::core::Binary;
using kx::net::Socket;

// A lab channel on one end of a loopback connection; the test holds the
// other end as a plain blocking socket.
class LabStreamChannelTest : public ::testing::Test {
protected:
    void SetUp() override { selector.reset(new kx::net::SocketEventSelector(20)); }
    // A fresh connection: `peer` and `accepted` are its two ends.
    void connectPair() {
        Socket listener(Socket::TYPE_TCP);
        ASSERT_TRUE(listener.bind(kx::net::SocketAddress(kx::net::IpAddress("127.0.0.1"), 0)));
        ASSERT_TRUE(listener.listen());
        peer.reset(new Socket(Socket::TYPE_TCP));
        ASSERT_TRUE(peer->connect(listener.localAddress()));
        ASSERT_TRUE(listener.waitReady(true, false, false, 1000));
        accepted.close();
        ASSERT_TRUE(listener.accept(&accepted));
    }
    void TearDown() override {
        peer.reset();
        selector.reset();
    }
    // Runs the selector until done() or about a second.
    bool pumpUntil(const std::function<bool()>& done, int limitMs = 1000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (std::chrono::steady_clock::now() < end) {
            if (done()) return true;
            selector->select(5);
        }
        return done();
    }
    static Binary pattern(int32_t length, int seed) {
        Binary b;
        b.resize(length);
        for (int32_t i = 0; i < length; ++i) b[i] = uint8_t(i * 7 + seed);
        return b;
    }

    std::unique_ptr<kx::net::SocketEventSelector> selector;
    std::unique_ptr<Socket> peer;
    Socket accepted;
};

// Frames come out whole and in order however the stream is cut into reads,
// straight from the read buffer or completed across reads; an empty frame
// is skipped and a frame announced over the limit resets the connection.
TEST_F(LabStreamChannelTest, SwitchChannelCutsFramesWhateverTheSplit) {
    struct Case {
        const char* name;
        std::vector<int32_t> payloads;  // -1: a header announcing more than the limit
        int32_t chunk;                  // bytes per write, each read on its own
        bool reset;
        int emptyFrames;
    };
    const Case cases[] = {
        {"many frames in one read", {1, 100, 16384, 7, 0, 3}, 1 << 20, false, 1},
        {"headers split byte by byte", {5, 2, 9}, 1, false, 0},
        {"headers split across reads", {300, 301, 302}, 3, false, 0},
        {"frames larger than one read", {70000, 16384, 200000}, 65536, false, 0},
        {"a frame over the limit", {10, -1}, 1 << 20, true, 0},
    };
    const int32_t limit = 262144;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        connectPair();
        lab::SwitchChannel channel(&accepted, selector.get(), limit, 16384);
        std::vector<Binary> frames;
        bool closed = false;
        channel.onFrame = [&](const uint8_t* data, int32_t length) {
            frames.push_back(Binary(data, length));
        };
        channel.onClosed = [&] { closed = true; };
        Binary wire;
        std::vector<Binary> expected;
        for (size_t i = 0; i < c.payloads.size(); ++i) {
            uint8_t header[4];
            if (c.payloads[i] < 0) {
                kx::net::SizeHeaderCapsulator::writeHeader(header, limit + 1);
                wire.append(header, 4);
                continue;
            }
            Binary payload = pattern(c.payloads[i], int(i));
            kx::net::SizeHeaderCapsulator::writeHeader(header, 4 + payload.length());
            wire.append(header, 4);
            wire.append(payload);
            if (!payload.isEmpty()) expected.push_back(payload);
        }
        ASSERT_TRUE(peer->setBlocking(true));
        for (int32_t offset = 0; offset < wire.length() && !closed;) {
            int32_t n = std::min(c.chunk, wire.length() - offset);
            int rc = peer->send(wire.data() + offset, n);
            ASSERT_GT(rc, 0);
            offset += rc;
            // Small pieces each get a read of their own.
            pumpUntil([&] {
                // Empty frames are dropped: count their headers as taken.
                int32_t taken = channel.bufferedBytes() + 4 * c.emptyFrames;
                for (const Binary& f : frames) taken += 4 + f.length();
                return closed || taken == offset;
            });
        }
        if (c.reset) {
            EXPECT_TRUE(pumpUntil([&] { return closed; }));
        } else {
            EXPECT_TRUE(pumpUntil([&] { return frames.size() == expected.size(); }));
            EXPECT_FALSE(closed);
        }
        ASSERT_EQ(expected.size(), frames.size());
        for (size_t i = 0; i < expected.size(); ++i) EXPECT_TRUE(frames[i] == expected[i]) << i;
        peer.reset();
    }
}

// Views go out with one gathered write while the peer keeps up; what a
// stalled peer does not take is queued behind them, in order, and sent once
// it reads again.
TEST_F(LabStreamChannelTest, GatheredWritesQueueWhatTheSocketDoesNotTake) {
    connectPair();
    accepted.setSendBufferSize(16384);
    lab::BackendChannel channel(&accepted, selector.get(), false);
    int64_t reported = 0;
    channel.onSent = [&](int bytes) { reported += bytes; };
    const Binary first = pattern(40000, 1);
    const Binary second = pattern(2000000, 2);
    channel.addView(first.data(), first.length());
    channel.addView(second.data(), second.length());
    EXPECT_EQ(first.length() + second.length(), channel.pendingBytes());
    int64_t direct = channel.flushViews();
    EXPECT_GT(direct, 0);
    EXPECT_LT(direct, first.length() + second.length());
    EXPECT_EQ(first.length() + second.length() - direct, channel.pendingSendBytes());
    // The views are copied where needed: their memory may go now.
    Binary expected = first;
    expected.append(second);
    Binary got;
    ASSERT_TRUE(peer->setBlocking(false));
    std::vector<uint8_t> buffer(65536);
    EXPECT_TRUE(pumpUntil(
        [&] {
            int rc;
            while ((rc = peer->receive(buffer.data(), int(buffer.size()))) > 0)
                got.append(buffer.data(), rc);
            return got.length() == expected.length();
        },
        5000));
    EXPECT_TRUE(got == expected);
    EXPECT_EQ(expected.length() - direct, reported);
}

}  // namespace
