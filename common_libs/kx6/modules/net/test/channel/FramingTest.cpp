#include <gtest/gtest.h>

#include "net/src/channel/SizeHeaderCapsulator.h"
#include "net/src/channel/StreamBuffer.h"

using kx::core::Binary;
using kx::core::StreamBuffer;
using kx::net::SizeHeaderCapsulator;

namespace {

Binary frame(const Binary& payload) {
    Binary out;
    SizeHeaderCapsulator::appendFrame(&out, payload.data(), payload.length());
    return out;
}

Binary header(int32_t value) {
    uint8_t h[4];
    SizeHeaderCapsulator::writeHeader(h, value);
    return Binary(h, 4);
}

}  // namespace

TEST(StreamBufferTest, QueueWithLimitAndReclaim) {
    StreamBuffer sb(10, 4);
    EXPECT_TRUE(sb.append("abcdef", 6));
    EXPECT_FALSE(sb.append("12345", 5));  // refused whole
    EXPECT_EQ(6, sb.length());
    char peeked[3];
    EXPECT_TRUE(sb.peek(peeked, 3));
    EXPECT_EQ(0, memcmp(peeked, "abc", 3));
    Binary out;
    EXPECT_TRUE(sb.read(&out, 4));
    EXPECT_EQ("abcd", out.toStdString());
    EXPECT_FALSE(sb.read(&out, 3));
    EXPECT_TRUE(sb.append("12345678", 8));  // consumed space counts as free
    EXPECT_TRUE(sb.read(&out, 10));
    EXPECT_EQ("ef12345678", out.toStdString());
    EXPECT_TRUE(sb.isEmpty());
    EXPECT_FALSE(sb.skip(1));
}

TEST(SizeHeaderCapsulatorTest, HeaderCountsItselfLittleEndian) {
    Binary f = frame(Binary("hello"));
    ASSERT_EQ(9, f.length());
    EXPECT_EQ(0, memcmp(f.data(), "\x09\x00\x00\x00hello", 9));
    EXPECT_EQ(0x04030201, SizeHeaderCapsulator::readHeader(header(0x04030201).data()));
}

TEST(SizeHeaderCapsulatorTest, DecodesSplitAndBackToBackFrames) {
    StreamBuffer sb(1 << 20, 1024);
    SizeHeaderCapsulator codec(&sb);
    Binary stream = frame(Binary("one"));
    stream.append(frame(Binary()));  // header 4: consumed, empty payload
    stream.append(frame(Binary("three")));
    Binary payload;
    std::vector<std::string> got;
    for (int i = 0; i < stream.length(); ++i) {  // one byte at a time
        sb.append(stream.data() + i, 1);
        SizeHeaderCapsulator::DecodeResult r;
        while ((r = codec.decode(&payload)) == SizeHeaderCapsulator::DECODE_FRAME) {
            got.push_back(payload.toStdString());
        }
        EXPECT_EQ(SizeHeaderCapsulator::DECODE_NEED_MORE, r);
    }
    EXPECT_EQ((std::vector<std::string>{"one", "", "three"}), got);
    EXPECT_TRUE(sb.isEmpty());
}

TEST(SizeHeaderCapsulatorTest, HostileHeadersAreInvalidNotFatal) {
    for (int32_t bad : {0, 3, -1, INT32_MIN, 2147483647, (1 << 20) + 1}) {
        StreamBuffer sb(1 << 20, 1024);
        SizeHeaderCapsulator codec(&sb);
        sb.append(header(bad));
        Binary payload;
        EXPECT_EQ(SizeHeaderCapsulator::DECODE_INVALID, codec.decode(&payload)) << bad;
        EXPECT_EQ(4, sb.length());  // nothing consumed
    }
    StreamBuffer exact(16, 16);
    SizeHeaderCapsulator codec(&exact);
    exact.append(frame(Binary("123456789012")));  // exactly the limit
    Binary payload;
    EXPECT_EQ(SizeHeaderCapsulator::DECODE_FRAME, codec.decode(&payload));
}

TEST(SizeHeaderCapsulatorTest, EncodeRollsBackWhenTheFrameDoesNotFit) {
    StreamBuffer sb(10, 10);
    SizeHeaderCapsulator codec(&sb);
    EXPECT_TRUE(codec.encode(Binary("ab")));
    EXPECT_FALSE(codec.encode(Binary("abcd")));
    EXPECT_EQ(6, sb.length());
}

// Random bytes must only ever yield frames, "need more" or "invalid".
TEST(SizeHeaderCapsulatorTest, RandomInputNeverMisbehaves) {
    uint32_t seed = 12345;
    for (int round = 0; round < 2000; ++round) {
        StreamBuffer sb(4096, 256);
        SizeHeaderCapsulator codec(&sb);
        int n = int((seed = seed * 1103515245u + 12345u) >> 20) % 64;
        Binary junk;
        for (int i = 0; i < n; ++i)
            junk.append(uint8_t((seed = seed * 1103515245u + 12345u) >> 24));
        sb.append(junk);
        Binary payload;
        int frames = 0;
        SizeHeaderCapsulator::DecodeResult r;
        while ((r = codec.decode(&payload)) == SizeHeaderCapsulator::DECODE_FRAME) ++frames;
        EXPECT_LE(frames * 4, n);
    }
}
