#pragma once

#include <cstdint>

#include "tunnel_client/protocol/GrantBudget.h"
#include "tunnel_client/protocol/ProtocolWire.h"
#include "tunnel_client/protocol/RoundTripEstimate.h"

namespace tunnel {

// How much the receiving side of one stream or session grants, and when.
//
// It opens with the fixed first window and grants delivered bytes back. While
// the reader keeps up and a whole window was delivered within about two round
// trips, the window limits the stream rather than the link or the reader, so
// the window doubles, up to MAX_WINDOW and as far as the tunnel's budget
// allows. A reader that stops reading delivers nothing and the window stays
// as it is: what the peer may send is never more than the current window.
// Grants go out in steps of an eighth of the window (at least GRANT_STEP), so
// a large window does not cost one grant packet per 16 KiB.
//
// Without a round-trip estimate nothing grows: a tunnel whose peer never
// acknowledges keeps exactly the fixed window. The wire is unchanged either
// way, grants are byte counts; a peer that sends within them needs to know
// nothing of this.
class WindowTuner {
public:
    static constexpr int64_t MAX_WINDOW = 16 * 1024 * 1024;

    // Either pointer may be null: no budget means no tunnel-wide limit, no
    // round trip means a fixed window. maximum below the first window keeps
    // it fixed as well.
    WindowTuner(GrantBudget* budget, const RoundTripEstimate* roundTrip,
                int64_t maximum = MAX_WINDOW);
    ~WindowTuner();
    WindowTuner(const WindowTuner&) = delete;
    WindowTuner& operator=(const WindowTuner&) = delete;

    // The reader took `bytes`; `backlog` are the bytes received and not yet
    // taken. Returns the bytes to grant now, 0 until a step has built up.
    int64_t onDelivered(int64_t bytes, int64_t backlog);

    // The window: what the peer may have in flight or in our buffers.
    int64_t target() const { return m_target; }
    // Granted (the first window included) and not yet delivered.
    int64_t outstanding() const { return m_outstanding; }
    int64_t step() const;

private:
    void _grow();

    GrantBudget* m_budget;
    const RoundTripEstimate* m_roundTrip;
    int64_t m_maximum;
    int64_t m_target = wire::INITIAL_GRANT;
    int64_t m_outstanding = wire::INITIAL_GRANT;
    int64_t m_reserved = 0;  // taken from the budget: m_target - INITIAL_GRANT
    // The running measure: bytes delivered since m_epochStart.
    bool m_measuring = false;
    uint32_t m_epochStart = 0;
    int64_t m_epochBytes = 0;
};

}  // namespace tunnel
