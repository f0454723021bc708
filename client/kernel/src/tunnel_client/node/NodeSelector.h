#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/src/time/Timer.h"
#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "net/src/socket/SocketAddress.h"
#include "tunnel_client/client/Error.h"
#include "tunnel_client/client/LoginInfo.h"

namespace kx {
namespace net {
class SocketEventSelector;
}
}  // namespace kx

namespace tunnel {

class LatencyDetector;
class Node;

// One latency race among candidate switches. Reports the winner or a failure
// exactly once; the owner deletes it after it stopped running. Worker thread
// only: its detectors are handlers on the worker's selector.
class NodeSelector {
public:
    static constexpr int DECISION_DELAY_MS = 500;
    static constexpr int RACE_TIMEOUT_MS = 10000;
    static constexpr int SAMPLE_COUNT = 20;

    // A candidate and the detector that measures it for the race.
    class NodeItem {
    public:
        NodeItem(kx::net::SocketEventSelector* selector, Node* node, bool isBackup,
                 const LoginInfo& loginInfo, int64_t targetId, const kx::core::String& natId);
        virtual ~NodeItem();

        Node* node() const { return m_node; }
        bool isBackup() const { return m_isBackup; }
        LatencyDetector* detector() const { return m_detector.get(); }

    private:
        Node* m_node;
        bool m_isBackup;
        std::unique_ptr<LatencyDetector> m_detector;
    };

    // What the choice looks at for one item; latency -1 while unmeasured.
    // recentlyFailed: this exact switch failed lately, so within a pass it
    // only wins when no other candidate of that pass has a sample.
    struct Candidate {
        Node* node;
        bool isBackup;
        int latency;
        bool recentlyFailed = false;
    };

    std::function<void(Node*)> onSelected;
    std::function<void(const Error&)> onFailed;

    // recentlyFailed: exact addresses (address and port) of switches that
    // failed lately; they lose every tie-break within their pass.
    NodeSelector(kx::net::SocketEventSelector* selector, const kx::core::Array<Node*>& nodes,
                 const kx::core::Array<Node*>& backupNodes, const LoginInfo& loginInfo,
                 int64_t targetId, const kx::core::String& natId, bool bandwidthIsHigh,
                 const kx::core::Array<kx::net::SocketAddress>& recentlyFailed =
                     kx::core::Array<kx::net::SocketAddress>());
    virtual ~NodeSelector();
    NodeSelector(const NodeSelector&) = delete;
    NodeSelector& operator=(const NodeSelector&) = delete;

    bool isRunning() const { return m_running; }
    // The winner's measured latency in milliseconds; -1 before a winner.
    int winnerLatency() const { return m_winnerLatency; }
    void tick();

    // Up to four passes (bandwidth when asked, standard, defence, backup); the
    // lowest latency wins a pass, ties go to the earlier candidate, and a
    // recently failed switch comes after every other measured candidate of
    // its pass. Prints the compare and "No valid" lines on the console.
    static Node* choose(const std::vector<Candidate>& candidates, bool bandwidthIsHigh);

private:
    std::vector<std::unique_ptr<NodeItem>> m_items;
    kx::core::Array<kx::net::SocketAddress> m_recentlyFailed;
    kx::core::Timer m_decisionTimer;
    kx::core::Timer m_raceTimer;
    bool m_running;
    bool m_bandwidthIsHigh;
    int m_winnerLatency = -1;
    std::vector<Candidate> m_candidates;
};

}  // namespace tunnel
