#include "tunnel_client/node/NodeSelector.h"

#include "core/src/debug/Assert.h"
#include "core/src/misc/DateTime.h"
#include "tunnel_client/client/LatencyDetector.h"
#include "tunnel_client/node/AddressMask.h"
#include "tunnel_client/node/Node.h"
#include "util/src/log/ConsolePrinter.h"

namespace tunnel {

using kx::core::String;

namespace {

void printLine(const String& text) {
    kx::util::ConsolePrinter::print(kx::core::DateTime::now().timeText() + text);
}

struct Pass {
    const wchar_t* suffix;
    const wchar_t* empty;
    bool (*qualifies)(const NodeSelector::Candidate& c);
};

bool isBandwidth(const NodeSelector::Candidate& c) {
    return !c.isBackup && c.node->type() == String(L"bandwidth");
}
bool isStandard(const NodeSelector::Candidate& c) {
    return !c.isBackup && (c.node->type().isEmpty() || c.node->type() == String(L"standard"));
}
bool isDefence(const NodeSelector::Candidate& c) {
    return !c.isBackup && c.node->type() == String(L"defence");
}
bool isBackup(const NodeSelector::Candidate& c) {
    return c.isBackup;
}

const Pass PASSES[4] = {
    {L"ms for bandwidth", L" [Selector] No valid bandwidth nodes", isBandwidth},
    {L"ms for standard", L" [Selector] No valid standard nodes", isStandard},
    {L"ms for defence", L" [Selector] No valid defence nodes", isDefence},
    {L"ms for backup", L" [Selector] No valid backup nodes", isBackup},
};

}  // namespace

NodeSelector::NodeItem::NodeItem(kx::net::SocketEventSelector* selector, Node* node, bool isBackup,
                                 const LoginInfo& loginInfo, int64_t targetId, const String& natId)
    : m_node(node), m_isBackup(isBackup) {
    KX_ASSERT(m_node);
    m_detector.reset(
        new LatencyDetector(selector, m_node->address(), loginInfo, targetId, natId, SAMPLE_COUNT));
}

NodeSelector::NodeItem::~NodeItem() = default;

NodeSelector::NodeSelector(kx::net::SocketEventSelector* selector,
                           const kx::core::Array<Node*>& nodes,
                           const kx::core::Array<Node*>& backupNodes, const LoginInfo& loginInfo,
                           int64_t targetId, const String& natId, bool bandwidthIsHigh,
                           const kx::core::Array<kx::net::SocketAddress>& recentlyFailed)
    : m_recentlyFailed(recentlyFailed),
      m_decisionTimer(DECISION_DELAY_MS),
      m_raceTimer(RACE_TIMEOUT_MS),
      m_running(true),
      m_bandwidthIsHigh(bandwidthIsHigh) {
    for (Node* node : nodes)
        m_items.emplace_back(new NodeItem(selector, node, false, loginInfo, targetId, natId));
    for (Node* node : backupNodes)
        m_items.emplace_back(new NodeItem(selector, node, true, loginInfo, targetId, natId));
}

NodeSelector::~NodeSelector() = default;

void NodeSelector::tick() {
    if (!m_running || !m_decisionTimer.isExpired()) return;

    m_candidates.clear();
    bool measuring = false;
    for (const auto& item : m_items) {
        bool failed = false;
        for (const kx::net::SocketAddress& address : m_recentlyFailed)
            failed = failed || address == item->node()->address();
        m_candidates.push_back(
            {item->node(), item->isBackup(), item->detector()->latency(), failed});
        measuring = measuring || item->detector()->isQuerying();
    }
    Node* winner = choose(m_candidates, m_bandwidthIsHigh);
    if (winner) {
        m_running = false;
        for (const Candidate& c : m_candidates) {
            if (c.node == winner) m_winnerLatency = c.latency;
        }
        if (onSelected) onSelected(winner);
        return;
    }
    if (!m_raceTimer.isExpired() && measuring) return;

    m_running = false;
    if (!onFailed) return;
    Error error(-1, String());
    for (const auto& item : m_items) {
        const LatencyDetector* detector = item->detector();
        if (detector->errorCode() > 0 || !detector->errorMessage().isEmpty()) {
            error = Error(detector->errorCode(), detector->errorMessage());
            break;
        }
    }
    onFailed(error);
}

Node* NodeSelector::choose(const std::vector<Candidate>& candidates, bool bandwidthIsHigh) {
    for (int p = bandwidthIsHigh ? 0 : 1; p < 4; ++p) {
        const Pass& pass = PASSES[p];
        // A switch that just failed may still answer latency queries quickly
        // (it can be half dead); it wins only when nothing else was measured.
        const Candidate* best = nullptr;
        const Candidate* bestFailed = nullptr;
        for (const Candidate& c : candidates) {
            if (c.latency < 0 || !pass.qualifies(c)) continue;
            printLine(String(L" [Selector] Compare ") + AddressMask::mask(c.node->address()) +
                      L" " + String::fromInt32(c.latency) + pass.suffix);
            const Candidate*& slot = c.recentlyFailed ? bestFailed : best;
            if (!slot || c.latency < slot->latency) slot = &c;
        }
        if (best) return best->node;
        if (bestFailed) return bestFailed->node;
        printLine(pass.empty);
    }
    return nullptr;
}

}  // namespace tunnel
