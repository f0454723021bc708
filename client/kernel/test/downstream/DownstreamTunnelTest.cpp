#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "downstream/FakeUpstream.h"
#include "core/src/time/Clock.h"
#include "tunnel_client/forward/DownstreamTunnel.h"
#include "tunnel_client/protocol/TunnelPacket.h"

using kx::core::Binary;
using kx::core::Clock;
using tunnel::DownstreamTunnel;
using tunnel::TunnelPacket;
using tunnel::testing::FakeUpstream;

namespace {

class RecordingTunnel : public DownstreamTunnel {
public:
    explicit RecordingTunnel(int32_t capacity = BACKUP_CAPACITY) : DownstreamTunnel(capacity) {}

    std::vector<uint32_t> delivered;
    std::function<void()> onDelivery;
    int rooms = 0;

protected:
    void onData(const Binary& packet) override {
        delivered.push_back(TunnelPacket(packet).sequence());
        if (onDelivery) onDelivery();
    }
    void onRoom() override { ++rooms; }
};

Binary closePacket(uint16_t channel = 1) {
    return TunnelPacket::buildClose(2, channel);
}

Binary incoming(uint32_t sequence, int32_t size = 8) {
    Binary packet = TunnelPacket::buildClose(2, 1);
    packet.resize(size);
    TunnelPacket::writeSequence(packet, sequence);
    return packet;
}

uint32_t seqOf(const Binary& packet) {
    return TunnelPacket(packet).sequence();
}

class DownstreamTunnelTest : public ::testing::Test {
protected:
    void SetUp() override { Clock::freeze(1000000); }
    void TearDown() override { Clock::resetForTests(); }

    void sendPackets(int count) {
        for (int i = 0; i < count; ++i) {
            Binary packet = closePacket();
            ASSERT_TRUE(tunnel.send(packet));
        }
    }

    RecordingTunnel tunnel;
    FakeUpstream upstream;
};

TEST_F(DownstreamTunnelTest, BackupsAreResentInOrderThroughANewUpstream) {
    ASSERT_TRUE(tunnel.open());
    EXPECT_FALSE(tunnel.open());
    sendPackets(3);
    EXPECT_EQ(tunnel.traffic().shortStat().sent().current(), 24);

    tunnel.sendBackups(&upstream);
    tunnel.setUpstream(&upstream);
    Binary fourth = closePacket();
    ASSERT_TRUE(tunnel.send(fourth));

    ASSERT_EQ(upstream.packets.size(), 4u);
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(seqOf(upstream.packets[i]), i);
    // Resends are neither renumbered nor counted again.
    EXPECT_EQ(tunnel.traffic().shortStat().sent().current(), 32);
    EXPECT_EQ(tunnel.backups().count(), 4);
}

// Acknowledged buffers are handed back to the sender for its next packet: a
// reused buffer must never still be one the backups resend.
TEST_F(DownstreamTunnelTest, ReusedBuffersOfAcknowledgedPacketsLeaveBackupsIntact) {
    tunnel.open();
    const int32_t sizes[] = {2000, 16394, 8, 4000, 16394, 1024, 1023, 16394};
    auto dataPacket = [](Binary* out, int32_t size, uint8_t fill) {
        Binary payload;
        payload.resize(size - TunnelPacket::DATA_HEADER_SIZE);
        for (int32_t i = 0; i < payload.length(); ++i) payload.data()[i] = uint8_t(fill + i);
        TunnelPacket::buildData(out, TunnelPacket::CLASS_TCP, 3, payload.data(), payload.length());
    };
    std::vector<Binary> expected;
    Binary packet;  // one buffer for every send, as a session does
    uint32_t sent = 0;
    for (int round = 0; round < 3; ++round) {
        for (int32_t size : sizes) {
            dataPacket(&packet, size, uint8_t(sent));
            Binary copy = packet;
            TunnelPacket::writeSequence(copy, sent);
            expected.push_back(copy);
            ASSERT_TRUE(tunnel.send(packet));
            EXPECT_TRUE(packet.isEmpty());
            ++sent;
        }
        // Acknowledge all but the last three of this round.
        tunnel.receive(TunnelPacket::buildAck(sent - 4));
    }
    tunnel.sendBackups(&upstream);
    ASSERT_EQ(upstream.packets.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(upstream.packets[i], expected[sent - 3 + i]) << i;
    EXPECT_EQ(tunnel.backups().usedBytes(), 1023 + 1024 + 16394);
}

TEST_F(DownstreamTunnelTest, AckOfOneFreesZeroAndOneAndKeepsTwo) {
    tunnel.open();
    sendPackets(3);
    tunnel.receive(TunnelPacket::buildAck(1));
    ASSERT_EQ(tunnel.backups().count(), 1);
    EXPECT_EQ(tunnel.backups().front().sequence(), 2u);
    EXPECT_EQ(tunnel.backups().usedBytes(), 8);
    // An incoming acknowledgement is traffic like any packet.
    EXPECT_EQ(tunnel.traffic().shortStat().received().current(), 6);
}

// The switch acknowledges 4294967295 until it has received something; read as
// an unsigned "everything up to here" it would drop every unacknowledged packet.
TEST_F(DownstreamTunnelTest, AckBeforeTheSwitchReceivedAnythingFreesNothing) {
    tunnel.open();
    sendPackets(3);
    tunnel.receive(TunnelPacket::buildAck(0xFFFFFFFFu));
    EXPECT_EQ(tunnel.backups().count(), 3);

    // Stale and future numbers free nothing either.
    tunnel.receive(TunnelPacket::buildAck(0));
    EXPECT_EQ(tunnel.backups().count(), 2);
    tunnel.receive(TunnelPacket::buildAck(0));  // already acknowledged
    tunnel.receive(TunnelPacket::buildAck(3));  // never sent
    tunnel.receive(TunnelPacket::buildAck(0x80000001u));
    EXPECT_EQ(tunnel.backups().count(), 2);
    tunnel.receive(TunnelPacket::buildAck(2));
    EXPECT_TRUE(tunnel.backups().isEmpty());
    EXPECT_EQ(tunnel.backups().usedBytes(), 0);
}

TEST_F(DownstreamTunnelTest, OutOfOrderPacketIsDroppedAndNotAcknowledged) {
    tunnel.open();
    tunnel.setUpstream(&upstream);
    tunnel.tick();
    // The first periodic acknowledgement goes out at once and names 4294967295.
    ASSERT_EQ(upstream.acks().size(), 1u);
    EXPECT_EQ(seqOf(upstream.acks()[0]), 0xFFFFFFFFu);

    for (uint32_t s = 0; s < 4; ++s) tunnel.receive(incoming(s));
    tunnel.receive(incoming(5));
    tunnel.receive(incoming(3));             // duplicate
    tunnel.receive(Binary("\x02\x04\x04"));  // too short to carry a number
    EXPECT_EQ(tunnel.delivered, (std::vector<uint32_t>{0, 1, 2, 3}));
    EXPECT_EQ(tunnel.receiveSequence(), 4u);

    tunnel.tick();
    EXPECT_EQ(upstream.acks().size(), 1u);  // not before 500 ms
    Clock::advance(500);
    tunnel.tick();
    ASSERT_EQ(upstream.acks().size(), 2u);
    EXPECT_EQ(seqOf(upstream.acks()[1]), 3u);
    EXPECT_EQ(upstream.acks()[1].length(), 6);
}

TEST_F(DownstreamTunnelTest, AckThresholdReceivedIsAcknowledgedAtOnce) {
    tunnel.open();
    tunnel.setUpstream(&upstream);
    tunnel.tick();
    upstream.packets.clear();
    const int32_t size = 16384 + 10;
    uint32_t s = 0;
    for (int64_t total = 0; total + size < DownstreamTunnel::ACK_BYTES; total += size)
        tunnel.receive(incoming(s++, size));
    EXPECT_TRUE(upstream.acks().empty());
    tunnel.receive(incoming(s, size));
    ASSERT_EQ(upstream.acks().size(), 1u);
    EXPECT_EQ(seqOf(upstream.acks()[0]), s);
}

TEST_F(DownstreamTunnelTest, ThirtySecondsOfSilenceDeclareTheTunnelDead) {
    tunnel.open();
    Clock::advance(29999);
    tunnel.receive(incoming(0));  // any packet proves life
    Clock::advance(29999);
    tunnel.tick();
    EXPECT_TRUE(tunnel.isAlive());
    Clock::advance(1);
    tunnel.tick();
    EXPECT_FALSE(tunnel.isAlive());
    EXPECT_TRUE(tunnel.isOpen());

    Binary packet = closePacket();
    EXPECT_FALSE(tunnel.send(packet));
    tunnel.receive(incoming(1));
    EXPECT_EQ(tunnel.delivered.size(), 1u);

    tunnel.close();
    EXPECT_FALSE(tunnel.isOpen());
    EXPECT_EQ(tunnel.backups().count(), 0);
    EXPECT_TRUE(tunnel.open());
    EXPECT_EQ(tunnel.nextSendSequence(), 0u);
    EXPECT_EQ(tunnel.receiveSequence(), 0u);
}

TEST_F(DownstreamTunnelTest, SendWhileClosedOrTooShortChangesNothing) {
    Binary packet = closePacket();
    EXPECT_FALSE(tunnel.send(packet));
    tunnel.open();
    Binary tiny("\x02\x03\x00");
    EXPECT_FALSE(tunnel.send(tiny));
    EXPECT_EQ(tunnel.nextSendSequence(), 0u);
    EXPECT_EQ(tunnel.backups().count(), 0);
    EXPECT_EQ(tunnel.traffic().shortStat().sent().current(), 0);
}

TEST_F(DownstreamTunnelTest, FullQueueRefusesWithoutUsingANumberAndReportsRoomAfterAck) {
    RecordingTunnel small(24);
    small.open();
    small.setUpstream(&upstream);
    for (int i = 0; i < 3; ++i) {
        Binary packet = closePacket();
        ASSERT_TRUE(small.send(packet));
    }
    EXPECT_FALSE(small.canSend(1));
    Binary refused = closePacket();
    EXPECT_FALSE(small.send(refused));
    EXPECT_EQ(small.nextSendSequence(), 3u);
    EXPECT_EQ(upstream.nonAcks().size(), 3u);
    EXPECT_EQ(small.rooms, 0);

    small.receive(TunnelPacket::buildAck(0));
    EXPECT_EQ(small.rooms, 1);
    EXPECT_TRUE(small.canSend(8));
    ASSERT_TRUE(small.send(refused));
    EXPECT_EQ(seqOf(upstream.packets.back()), 3u);
    // No refusal since: room freed later is not announced again.
    small.receive(TunnelPacket::buildAck(1));
    EXPECT_EQ(small.rooms, 1);
}

TEST_F(DownstreamTunnelTest, DeliveryThatClosesTheTunnelLeavesItsSequencesReset) {
    tunnel.open();
    tunnel.onDelivery = [this] { tunnel.close(); };
    tunnel.receive(incoming(0));
    EXPECT_FALSE(tunnel.isOpen());
    tunnel.onDelivery = nullptr;
    tunnel.open();
    EXPECT_EQ(tunnel.receiveSequence(), 0u);
    tunnel.receive(incoming(0));
    EXPECT_EQ(tunnel.delivered, (std::vector<uint32_t>{0, 0}));
}

}  // namespace

// Opened between two grid points, the first acknowledgement still goes out on
// the next tick and the following ones fall on the clock's 500 ms grid, where
// the worker's 1 s tick wakes it anyway.
TEST_F(DownstreamTunnelTest, AcknowledgementsAfterTheFirstFallOnTheClockGrid) {
    Clock::freeze(1000000 + 337);
    tunnel.open();
    tunnel.setUpstream(&upstream);
    tunnel.tick();
    ASSERT_EQ(upstream.acks().size(), 1u);
    Clock::freeze(1000499);
    tunnel.tick();
    EXPECT_EQ(upstream.acks().size(), 1u);
    Clock::freeze(1000500);
    tunnel.tick();
    EXPECT_EQ(upstream.acks().size(), 2u);
    Clock::freeze(1001000);
    tunnel.tick();
    EXPECT_EQ(upstream.acks().size(), 3u);
}
