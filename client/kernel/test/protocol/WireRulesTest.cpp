#include <gtest/gtest.h>

#include "tunnel_client/protocol/FlowWindow.h"
#include "tunnel_client/protocol/TunnelPacket.h"

using kx::core::Binary;
using tunnel::FlowWindow;
using tunnel::TunnelPacket;

TEST(WireRulesTest, AcknowledgementFreesOnlyNumbersInFlight) {
    struct Case {
        uint32_t oldest, nextSend, acked, freed;
    } cases[] = {
        {0, 3, 1, 2},                    // frees 0 and 1, keeps 2
        {0, 3, 2, 3},                    // everything
        {0, 3, 3, 0},                    // not sent yet
        {0, 3, 0xFFFFFFFFu, 0},          // "nothing received" before anything arrived
        {5, 9, 4, 0},                    // stale
        {5, 5, 5, 0},                    // nothing kept
        {0xFFFFFFFEu, 2, 0xFFFFFFFFu, 2},  // across the wrap
        {0xFFFFFFFEu, 2, 1, 4},
        {0xFFFFFFFEu, 2, 2, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TunnelPacket::acknowledgedCount(c.oldest, c.nextSend, c.acked), c.freed)
            << c.oldest << " " << c.nextSend << " " << c.acked;
    }
}

TEST(WireRulesTest, AckIsExactlySixBytesAndParsesBack) {
    Binary ack = TunnelPacket::buildAck(0x01020304);
    ASSERT_EQ(ack.length(), 6);
    TunnelPacket view(ack);
    EXPECT_TRUE(view.isAck());
    EXPECT_FALSE(view.hasChannel());
    EXPECT_EQ(view.sequence(), 0x01020304u);
    // The terminating zero after the bytes is untouched by the header writer.
    EXPECT_EQ(ack.data()[6], 0);
    EXPECT_FALSE(TunnelPacket(ack.data(), 5).isAck());
}

TEST(WireRulesTest, FlowWindowRefusesDataBeyondTheGrant) {
    struct Step {
        char op;  // 't' take, 'g' grant
        int64_t bytes;
        bool ok;
        int64_t left;
    } steps[] = {
        {'t', 100000, true, 31072},  {'t', 31073, false, 31072}, {'t', 31072, true, 0},
        {'t', 1, false, 0},          {'g', 16384, true, 16384},  {'g', -5, true, 16384},
        {'t', -1, false, 16384},     {'t', 16384, true, 0},
    };
    FlowWindow window;
    EXPECT_EQ(window.available(), 131072);
    for (const Step& s : steps) {
        bool ok = true;
        if (s.op == 't')
            ok = window.take(s.bytes);
        else
            window.grant(s.bytes);
        EXPECT_EQ(ok, s.ok) << s.op << s.bytes;
        EXPECT_EQ(window.available(), s.left) << s.op << s.bytes;
    }
}
