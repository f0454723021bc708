#pragma once

#include <cstdint>
#include <vector>

#include "core/src/value/Any.h"
#include "core/src/value/Array.h"
#include "tunnel_launcher/TargetStatus.h"
#include "tunnel_launcher/TargetStatusSnapshot.h"

namespace tunnel {

class TunnelClient;

// The status of every tunnel client of one worker loop, in target order.
// Used on the worker thread only; callers on other threads get copies of the
// snapshots (see ThreadedTunnelWrapper::statusJson).
class StatusBoard {
public:
    StatusBoard();

    void add(TunnelClient* client);  // not owned; must outlive the board
    int32_t size() const { return static_cast<int32_t>(m_targets.size()); }
    // After every tick of the clients.
    void sample();
    // One snapshot per client; rates since the previous take (or the first add).
    kx::core::Array<TargetStatusSnapshot> take();

    // One JSON object per snapshot:
    //   "target_id"       number  the target id
    //   "switch"          text    masked switch address ("a.*.*.d:port"), "none" while unbound
    //   "state"           text    "open" (tunnel up), "opening", "closed" or "idle"
    //   "tcp_connections" number  live local TCP connections
    //   "udp_peers"       number  live local UDP peers
    //   "received_bytes", "sent_bytes"  numbers  payload bytes each way so far
    //   "received_rate", "sent_rate"    numbers  bytes per second over the last interval
    //   "received_packets", "sent_packets"  numbers  tunnel packets each way so far
    //   "failovers"       number  times the tunnel came up again after it had been up
    //   "latency_ms"      number  the bound switch's measured latency, -1 when unknown
    //   "failures"        object  failures so far by kind: "select", "connect",
    //                             "refused", "timeout", "silent" (see FailureKind)
    //   "last_error"      text    the client's last error, "" when none
    static const wchar_t* failureName(FailureKind kind);
    static kx::core::AnyArray toAny(const kx::core::Array<TargetStatusSnapshot>& snapshots);

private:
    std::vector<TargetStatus> m_targets;
    uint32_t m_lastTake;  // Clock time the current rates count from
};

}  // namespace tunnel
