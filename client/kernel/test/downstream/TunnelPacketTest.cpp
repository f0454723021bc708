#include <gtest/gtest.h>

#include "tunnel_client/protocol/TunnelPacket.h"

using kx::core::Binary;
using tunnel::TunnelPacket;

namespace {

std::string hex(const Binary& b) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (int32_t i = 0; i < b.length(); ++i) {
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

}  // namespace

TEST(TunnelPacketTest, BuildersWriteTheWireLayout) {
    EXPECT_EQ(hex(TunnelPacket::buildAck(0xFFFFFFFFu)), "0101ffffffff");
    EXPECT_EQ(hex(TunnelPacket::buildOpen(2, 0x1234, 8080)), "0201000000003412901f");
    EXPECT_EQ(hex(TunnelPacket::buildOpenResult(3, 7, 1)), "030200000000070001");
    EXPECT_EQ(hex(TunnelPacket::buildClose(2, 0xBEEF)), "020300000000efbe");
    EXPECT_EQ(hex(TunnelPacket::buildWindow(2, 1, 131072)), "020500000000010000000200");

    Binary data;
    const uint8_t payload[3] = {0xAA, 0xBB, 0xCC};
    ASSERT_TRUE(TunnelPacket::buildData(&data, 3, 9, payload, 3));
    EXPECT_EQ(hex(data), "03040000000009000300aabbcc");
    TunnelPacket::writeSequence(data, 0x01020304);
    EXPECT_EQ(hex(data), "03040403020109000300aabbcc");
}

TEST(TunnelPacketTest, DataPayloadIsLimitedToSixteenBits) {
    Binary big;
    big.resize(65536);
    Binary out("keep");
    EXPECT_FALSE(TunnelPacket::buildData(&out, 3, 1, big.data(), 65536));
    EXPECT_EQ(out, Binary("keep"));
    ASSERT_TRUE(TunnelPacket::buildData(&out, 3, 1, big.data(), 65535));
    EXPECT_EQ(out.length(), 65545);
}

TEST(TunnelPacketTest, ParsingNeverReadsPastTheInput) {
    Binary packet = TunnelPacket::buildWindow(2, 5, 42);
    uint32_t granted = 0;
    uint8_t status = 0;
    uint16_t port = 0;
    const uint8_t* payload = nullptr;
    int32_t n = 0;

    // Every truncation of a window packet: fields appear only once complete.
    for (int32_t len = 0; len <= packet.length(); ++len) {
        TunnelPacket view(packet.data(), len);
        EXPECT_EQ(view.isValid(), len >= 6) << len;
        EXPECT_EQ(view.hasChannel(), len >= 8) << len;
        EXPECT_EQ(view.windowGrant(&granted), len >= 12) << len;
        EXPECT_EQ(view.openStatus(&status), len >= 9) << len;
        EXPECT_EQ(view.openPort(&port), len >= 10) << len;
    }
    EXPECT_EQ(granted, 42u);
    EXPECT_EQ(TunnelPacket(packet).channel(), 5);
    EXPECT_EQ(TunnelPacket(nullptr, 10).length(), 0);
    Binary shortPacket("short");
    EXPECT_FALSE(TunnelPacket::writeSequence(shortPacket, 1));
    EXPECT_EQ(shortPacket, Binary("short"));

    // A data packet whose length field claims more than is present.
    Binary data;
    const uint8_t bytes[4] = {1, 2, 3, 4};
    ASSERT_TRUE(TunnelPacket::buildData(&data, 2, 1, bytes, 4));
    EXPECT_TRUE(TunnelPacket(data).payload(&payload, &n));
    EXPECT_EQ(n, 4);
    EXPECT_FALSE(TunnelPacket(data.data(), data.length() - 1).payload(&payload, &n));
    data[8] = 0xFF;  // n = 255
    EXPECT_FALSE(TunnelPacket(data).payload(&payload, &n));
}

TEST(TunnelPacketTest, SequenceOrderWrapsModulo32Bits) {
    EXPECT_TRUE(TunnelPacket::sequenceBefore(1, 2));
    EXPECT_FALSE(TunnelPacket::sequenceBefore(2, 2));
    EXPECT_TRUE(TunnelPacket::sequenceBefore(0xFFFFFFFFu, 0));
    EXPECT_FALSE(TunnelPacket::sequenceBefore(0, 0xFFFFFFFFu));
    EXPECT_EQ(TunnelPacket::sequenceDistance(0xFFFFFFFEu, 3), 5);
    EXPECT_EQ(TunnelPacket::sequenceDistance(3, 0xFFFFFFFEu), -5);
}
