#include <gtest/gtest.h>

#include <errno.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/src/time/Clock.h"
#include "net/src/channel/SizeHeaderCapsulator.h"
#include "net/src/channel/SizeHeaderTcpSocketChannel.h"
#include "net/src/channel/TcpSocketChannel.h"
#include "net/test/support/LoopbackSupport.h"

using namespace kx::net;
using kx::core::Binary;
using kx::core::Clock;

namespace {

// Non-blocking drain of the peer socket: appends what is there, notes EOF and
// the errno of a failed read.
struct PeerReader {
    Socket* socket;
    std::string data;
    bool eof = false;
    int error = 0;

    explicit PeerReader(Socket* s) : socket(s) { socket->setBlocking(false); }
    void poll() {
        char buf[65536];
        for (;;) {
            int n = socket->receive(buf, sizeof(buf));
            if (n > 0) {
                data.append(buf, size_t(n));
                continue;
            }
            if (n == 0) eof = true;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) error = errno;
            return;
        }
    }
};

class TcpSocketChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        Clock::resetForTests();
        pair = test::connectedPair();
        ASSERT_TRUE(pair.server.isValid());
    }
    void TearDown() override { Clock::resetForTests(); }

    std::unique_ptr<TcpSocketChannel> makeChannel() {
        auto channel = std::make_unique<TcpSocketChannel>(&pair.server, &selector);
        channel->onReceive = [this](Binary& b) { received += b.toStdString(); };
        channel->onSent = [this](int n) { sent += n; };
        channel->onClosed = [this] { events.push_back("closed"); };
        channel->onTimeout = [this] { events.push_back("timeout"); };
        return channel;
    }

    SocketEventSelector selector{1000};
    test::SocketPair pair;
    std::string received;
    long sent = 0;
    std::vector<std::string> events;
};

}  // namespace

TEST_F(TcpSocketChannelTest, TakesOverTheSocketAndRegisters) {
    int fd = pair.server.handle();
    auto channel = makeChannel();
    EXPECT_FALSE(pair.server.isValid());
    EXPECT_TRUE(channel->isOpen());
    EXPECT_EQ(TcpSocketChannel::STATE_OPEN, channel->state());
    EXPECT_TRUE(selector.hasEventHandler(fd));
    EXPECT_EQ(pair.client.localAddress(), channel->peerAddress());
    channel.reset();
    EXPECT_FALSE(selector.hasEventHandler(fd));

    TcpSocketChannel invalid(nullptr, &selector);
    EXPECT_EQ(TcpSocketChannel::STATE_INVALID, invalid.state());
    EXPECT_FALSE(invalid.send(Binary("x")));
    EXPECT_FALSE(invalid.recv(1));
}

TEST_F(TcpSocketChannelTest, ReadsNothingUntilCreditIsGranted) {
    auto channel = makeChannel();
    ASSERT_TRUE(test::sendAll(pair.client, test::pattern(100)));
    test::pumpFor(selector, 50);
    EXPECT_TRUE(received.empty());
    EXPECT_TRUE(channel->recv(30));
    test::pumpUntil(selector, [&] { return received.size() >= 30; });
    test::pumpFor(selector, 30);
    EXPECT_EQ(30u, received.size());
    EXPECT_EQ(0, channel->receiveCredit());
    channel->recv(1000);
    test::pumpUntil(selector, [&] { return received.size() >= 100; });
    EXPECT_EQ(test::pattern(100).toStdString(), received);
    EXPECT_EQ(930, channel->receiveCredit());
    EXPECT_FALSE(channel->recv(-1));
    EXPECT_FALSE(channel->recv(0x7FFFFFFF));  // would overflow
}

TEST_F(TcpSocketChannelTest, SendsLargeQueueCompletelyAndReportsSent) {
    auto channel = makeChannel();
    Binary data = test::pattern(3 << 20, 1);
    ASSERT_TRUE(channel->send(data));
    PeerReader peer(&pair.client);
    ASSERT_TRUE(test::pumpUntil(selector, [&] {
        peer.poll();
        return peer.data.size() >= size_t(data.length()) && sent == data.length();
    }));
    EXPECT_EQ(data.toStdString(), peer.data);
    EXPECT_EQ(0, channel->pendingSendBytes());
}

TEST_F(TcpSocketChannelTest, GracefulCloseWithMiBQueuedDeliversEveryByteThenFin) {
    auto channel = makeChannel();
    channel->recv(1000);
    Binary data = test::pattern(1 << 20, 2);
    ASSERT_TRUE(channel->send(data));
    channel->closeGracefully();
    EXPECT_FALSE(channel->send(Binary("late")));
    EXPECT_EQ(0, channel->receiveCredit());
    PeerReader peer(&pair.client);
    ASSERT_TRUE(test::pumpUntil(selector, [&] {
        peer.poll();
        return peer.eof;
    }));
    EXPECT_EQ(0, peer.error);
    EXPECT_EQ(data.toStdString(), peer.data);
    EXPECT_EQ(std::vector<std::string>{"closed"}, events);
    EXPECT_FALSE(channel->isOpen());
}

TEST_F(TcpSocketChannelTest, GracefulCloseSurvivesUnreadInput) {
    auto channel = makeChannel();
    ASSERT_TRUE(test::sendAll(pair.client, test::pattern(5000)));  // never granted
    Binary data = test::pattern(256 << 10, 3);
    channel->send(data);
    channel->closeGracefully();
    PeerReader peer(&pair.client);
    ASSERT_TRUE(test::pumpUntil(selector, [&] {
        peer.poll();
        return peer.eof || peer.error;
    }));
    EXPECT_EQ(0, peer.error);
    EXPECT_EQ(size_t(data.length()), peer.data.size());
}

TEST_F(TcpSocketChannelTest, AbortSendsReset) {
    auto channel = makeChannel();
    channel->send(test::pattern(1000));
    channel->abort();
    EXPECT_EQ(TcpSocketChannel::STATE_ABORTING, channel->state());
    EXPECT_EQ(0, channel->pendingSendBytes());
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return !events.empty(); }));
    EXPECT_EQ(std::vector<std::string>{"closed"}, events);
    PeerReader peer(&pair.client);
    ASSERT_TRUE(pair.client.waitReady(true, false, false, 1000));
    peer.poll();
    EXPECT_EQ(ECONNRESET, peer.error);
    EXPECT_TRUE(peer.data.empty());
}

TEST_F(TcpSocketChannelTest, PeerCloseIsReportedOnce) {
    auto channel = makeChannel();
    channel->recv(100);
    test::sendAll(pair.client, Binary("bye"));
    pair.client.close();
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return !events.empty(); }));
    test::pumpFor(selector, 20);
    EXPECT_EQ("bye", received);
    EXPECT_EQ(std::vector<std::string>{"closed"}, events);
}

TEST_F(TcpSocketChannelTest, IdleTimeoutThroughTestClock) {
    Clock::freeze(50000000);
    auto channel = makeChannel();
    channel->recv(10);
    Clock::advance(119000);
    selector.select(0);
    EXPECT_TRUE(events.empty());
    Clock::advance(1001);
    selector.select(0);
    EXPECT_EQ((std::vector<std::string>{"timeout", "closed"}), events);
    for (int i = 0; i < 3; ++i) {
        Clock::advance(1000);
        selector.select(0);
    }
    EXPECT_EQ(2u, events.size());
}

TEST_F(TcpSocketChannelTest, TrafficRestartsTheIdleTimer) {
    Clock::freeze(50000000);
    auto channel = makeChannel();
    channel->recv(100);
    Clock::advance(100000);
    test::sendAll(pair.client, Binary("x"));
    test::pumpUntil(selector, [&] { return !received.empty(); });
    Clock::advance(100000);
    selector.select(0);
    EXPECT_TRUE(events.empty());
    channel->setIdleTimeout(0);  // disabled
    Clock::advance(1000000);
    selector.select(0);
    EXPECT_TRUE(events.empty());
}

TEST_F(TcpSocketChannelTest, PeerResettingMidWriteEndsTheChannelCleanly) {
    auto channel = makeChannel();
    channel->send(test::pattern(16 << 20));
    test::pumpFor(selector, 20);
    pair.client.setLinger(true, 0);
    pair.client.close();
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return !events.empty(); }));
    EXPECT_EQ(std::vector<std::string>{"closed"}, events);
    EXPECT_EQ(0, channel->pendingSendBytes());
}

TEST_F(TcpSocketChannelTest, PeerThatNeverReadsLeavesDataQueuedForTheOwnerToBound) {
    auto channel = makeChannel();
    const int chunk = 1 << 20;
    int queued = 0;
    // An owner policy: stop producing beyond 4 MiB not yet written.
    for (int round = 0; round < 200; ++round) {
        if (channel->pendingSendBytes() < 4 * chunk) {
            channel->send(test::pattern(chunk));
            queued += chunk;
        }
        selector.select(1);
    }
    EXPECT_LE(channel->pendingSendBytes(), 4 * chunk + chunk);
    EXPECT_GT(channel->pendingSendBytes(), 0);
    EXPECT_LT(queued, 200 * chunk);
    channel->abort();
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return !events.empty(); }));
}

TEST_F(TcpSocketChannelTest, MixedSendsToAFullSocketArriveWholeAndInOrder) {
    // 200 sends (about 1.8 MiB) outgrow small kernel buffers: the gathered
    // writes end short and then in EAGAIN until the peer reads.
    pair.server.setSendBufferSize(32768);
    pair.client.setReceiveBufferSize(32768);
    auto channel = makeChannel();
    std::string expected;
    auto shared = std::make_shared<const Binary>(test::pattern(20000, 5));
    for (int i = 0; i < 200; ++i) {
        Binary head = test::pattern(6, i);
        switch (i % 4) {
            case 0: {
                Binary small = test::pattern(1 + i, i);
                ASSERT_TRUE(channel->send(small));
                expected += small.toStdString();
                break;
            }
            case 1: {
                Binary big = test::pattern(16384, i);
                expected += big.toStdString();
                ASSERT_TRUE(channel->send(std::move(big)));
                break;
            }
            case 2:
                ASSERT_TRUE(channel->send(head.data(), head.length(), shared));
                expected += head.toStdString() + shared->toStdString();
                break;
            default:
                ASSERT_TRUE(channel->send(head.data(), head.length(), test::pattern(300, i)));
                expected += head.toStdString() + test::pattern(300, i).toStdString();
                break;
        }
        if (i % 50 == 49) selector.select(0);  // writes until the peer's buffers fill
    }
    EXPECT_GT(channel->pendingSendBytes(), 0);  // the peer has not read yet
    EXPECT_EQ(int64_t(expected.size()), sent + channel->pendingSendBytes());
    PeerReader peer(&pair.client);
    ASSERT_TRUE(test::pumpUntil(selector, [&] {
        peer.poll();
        return peer.data.size() >= expected.size() && channel->pendingSendBytes() == 0;
    }));
    EXPECT_TRUE(peer.data == expected);
    EXPECT_EQ(long(expected.size()), sent);
    channel.reset();
    EXPECT_EQ(1, shared.use_count());
}

TEST_F(TcpSocketChannelTest, CallbacksMayCloseAndDeleteTheChannel) {
    auto channel = makeChannel();
    channel->recv(100);
    TcpSocketChannel* raw = channel.get();
    channel->onReceive = [&](Binary& b) {
        EXPECT_TRUE(raw->send(b));  // echo from inside the callback
        raw->closeNow();
    };
    channel->onClosed = [&] { channel.reset(); };  // unregistered by now
    test::sendAll(pair.client, Binary("abc"));
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return !channel; }));
    EXPECT_EQ(0, selector.handlerCount());
}

TEST_F(TcpSocketChannelTest, FastPeerCannotHoldTheLoopInOneEvent) {
    auto channel = makeChannel();
    channel->recv(1 << 20);
    long roundBytes = 0, maxRound = 0, total = 0;
    channel->onReceive = [&](Binary& b) {
        roundBytes += b.length();
        total += b.length();
        channel->recv(b.length());  // an owner that always wants more
    };
    const long size = 32 << 20;
    std::thread writer([&] { test::sendAll(pair.client, test::pattern(int(size))); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (total < size && std::chrono::steady_clock::now() < deadline) {
        roundBytes = 0;
        selector.select(5);
        maxRound = std::max(maxRound, roundBytes);
    }
    // Out of time (a slow sanitizer build): wake the writer blocked in send,
    // or the join below would wait for ever.
    if (total < size) ::shutdown(pair.client.handle(), SHUT_RDWR);
    writer.join();
    EXPECT_EQ(size, total);
    EXPECT_LE(maxRound, 2L << 20) << "one event read " << maxRound << " bytes";
}

// ---- size-header framing over real sockets ----

namespace {

class SizeHeaderChannelTest : public TcpSocketChannelTest {
protected:
    std::unique_ptr<SizeHeaderTcpSocketChannel> makeFramed(int limit = 10485760) {
        auto channel =
            std::make_unique<SizeHeaderTcpSocketChannel>(&pair.server, &selector, limit, 10240);
        channel->onFrame = [this](Binary& b) {
            frames.push_back(b.toStdString());
            frameRounds.push_back(round);
        };
        channel->onClosed = [this] { events.push_back("closed"); };
        return channel;
    }
    static Binary frame(const std::string& payload) {
        Binary out;
        SizeHeaderCapsulator::appendFrame(&out, payload.data(), int(payload.size()));
        return out;
    }
    void pumpRounds(int n) {
        for (int i = 0; i < n; ++i, ++round) selector.select(5);
    }

    std::vector<std::string> frames;
    std::vector<int> frameRounds;
    int round = 0;
};

}  // namespace

TEST_F(SizeHeaderChannelTest, SeveralFramesInOneReadArriveInOrderInOneEvent) {
    auto channel = makeFramed();
    Binary wire = frame("first");
    wire.append(frame(""));  // header 4: consumed silently
    wire.append(frame("second"));
    ASSERT_TRUE(test::sendAll(pair.client, wire));
    for (int i = 0; i < 100 && frames.size() < 2; ++i) pumpRounds(1);
    ASSERT_EQ((std::vector<std::string>{"first", "second"}), frames);
    EXPECT_EQ(frameRounds[0], frameRounds[1]);
    EXPECT_EQ(0, channel->bufferedBytes());
}

// Regression: a read carrying the tail of a frame that nearly fills the
// buffer and the head of the next one aborted a valid stream.
TEST_F(SizeHeaderChannelTest, FrameFillingTheBufferFollowedByAnotherInOneReadIsNotAnOverflow) {
    auto channel = makeFramed(1000);
    std::string big(990, 'b');
    Binary wire = frame(big);
    wire.append(frame("next"));
    ASSERT_TRUE(test::sendAll(pair.client, wire));
    for (int i = 0; i < 100 && frames.size() < 2; ++i) pumpRounds(1);
    ASSERT_EQ((std::vector<std::string>{big, "next"}), frames);
    EXPECT_TRUE(channel->isOpen());
}

TEST_F(SizeHeaderChannelTest, FrameSplitOverManyReadsIsDeliveredOnceComplete) {
    auto channel = makeFramed();
    std::string payload = test::pattern(100000, 4).toStdString();
    Binary wire = frame(payload);
    pair.client.setNoDelay(1);
    for (int off = 0; off < wire.length(); off += 7001) {
        int n = std::min(7001, wire.length() - off);
        ASSERT_EQ(n, pair.client.send(wire, off, n));
        pumpRounds(2);
        if (off + n < wire.length()) {
            EXPECT_TRUE(frames.empty());
        }
    }
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return !frames.empty(); }));
    pumpRounds(3);
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(payload, frames[0]);
}

TEST_F(SizeHeaderChannelTest, SendFramesThePayload) {
    auto channel = makeFramed();
    ASSERT_TRUE(channel->send(Binary("hello")));
    ASSERT_TRUE(channel->send(Binary()));
    PeerReader peer(&pair.client);
    ASSERT_TRUE(test::pumpUntil(selector, [&] {
        peer.poll();
        return peer.data.size() >= 13;
    }));
    EXPECT_EQ(std::string("\x09\0\0\0hello\x04\0\0\0", 13), peer.data);
}

TEST_F(SizeHeaderChannelTest, HeaderAnnouncingTwentyMiBAbortsTheConnection) {
    auto channel = makeFramed();
    Binary wire;
    uint8_t h[4];
    SizeHeaderCapsulator::writeHeader(h, 20 << 20);
    wire.append(h, 4);
    wire.append(test::pattern(64 << 10));
    test::sendAll(pair.client, wire);
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return !events.empty(); }));
    EXPECT_TRUE(frames.empty());
    PeerReader peer(&pair.client);
    ASSERT_TRUE(pair.client.waitReady(true, false, false, 1000));
    peer.poll();
    EXPECT_EQ(ECONNRESET, peer.error);
}

TEST_F(SizeHeaderChannelTest, StreamOverflowingTheLimitAborts) {
    auto channel = makeFramed(64 << 10);
    // Each frame fits alone, but the peer keeps the last one incomplete while
    // the buffer can hold no more.
    Binary wire = frame(std::string(60000, 'a'));
    wire.resize(wire.length() - 1);
    test::sendAll(pair.client, wire);
    test::pumpFor(selector, 50);
    EXPECT_TRUE(events.empty());
    Binary more = test::pattern(70000);
    test::sendAll(pair.client, more);
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return !events.empty(); }));
    EXPECT_LE(frames.size(), 1u);
}

TEST_F(SizeHeaderChannelTest, HostileHeadersCloseTheChannelWithoutAsserting) {
    for (int32_t bad : {0, 3, -5, INT32_MIN, 0x7FFFFFFF}) {
        if (!pair.server.isValid()) pair = test::connectedPair();
        events.clear();
        auto channel = makeFramed();
        Binary wire = frame("ok");
        uint8_t h[4];
        SizeHeaderCapsulator::writeHeader(h, bad);
        wire.append(h, 4);
        wire.append(Binary("garbage after the bad header"));
        test::sendAll(pair.client, wire);
        ASSERT_TRUE(test::pumpUntil(selector, [&] { return !events.empty(); })) << bad;
        EXPECT_EQ("ok", frames.back());
    }
}

TEST_F(SizeHeaderChannelTest, FrameHandlerMayDeleteTheChannel) {
    auto channel = makeFramed();
    SizeHeaderTcpSocketChannel* raw = channel.get();
    channel->onFrame = [&](Binary&) {
        Socket taken;
        raw->exportSocket(&taken);  // unregister first, then delete
        channel.reset();
    };
    Binary wire = frame("a");
    wire.append(frame("b"));
    test::sendAll(pair.client, wire);
    ASSERT_TRUE(test::pumpUntil(selector, [&] { return !channel; }));
}

TEST_F(SizeHeaderChannelTest, RandomGarbageEndsInFramesOrACleanClose) {
    uint32_t seed = 777;
    for (int trial = 0; trial < 20; ++trial) {
        if (!pair.server.isValid()) pair = test::connectedPair();
        events.clear();
        auto channel = makeFramed(1 << 16);
        Binary junk;
        int n = 1 + int((seed = seed * 1103515245u + 12345u) >> 16) % 3000;
        for (int i = 0; i < n; ++i)
            junk.append(uint8_t((seed = seed * 1103515245u + 12345u) >> 24));
        test::sendAll(pair.client, junk);
        pair.client.close();  // EOF ends every trial
        ASSERT_TRUE(test::pumpUntil(selector, [&] { return !events.empty(); }));
        EXPECT_EQ(1u, events.size());
        EXPECT_FALSE(channel->isOpen());
        pair = test::SocketPair();
    }
}
