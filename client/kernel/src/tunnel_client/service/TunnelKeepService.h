#pragma once

#include <cstdint>

#include "core/src/time/Timer.h"
#include "tunnel_client/client/Error.h"

namespace tunnel {

class ITunnelContext;
class Node;

// Keeps one upstream bound for its tunnel client: every 100 ms it unbinds an
// upstream that closed or whose node class no longer fits the traffic, and
// selects and binds a switch while none is bound. Ten failed selections in a
// row back off to one attempt every five minutes. An optimize unbind happens
// only when a node of the wanted class is there to win the next race.
// Worker thread only; the select callbacks run inside the select service's tick.
class TunnelKeepService {
public:
    static constexpr int TICK_MS = 100;
    static constexpr int OPTIMIZE_MS = 60000;
    static constexpr int BACKOFF_MS = 300000;
    static constexpr int32_t MAX_ERRORS = 9;  // failures before the back-off starts

    explicit TunnelKeepService(ITunnelContext* context);
    virtual ~TunnelKeepService() = default;
    TunnelKeepService(const TunnelKeepService&) = delete;
    TunnelKeepService& operator=(const TunnelKeepService&) = delete;

    void tick();
    int32_t errorCount() const { return m_errorCount; }
    bool isBackingOff() const { return m_selectTimer.interval() > 0; }

private:
    void _processOptimize();
    void _processRebind();
    bool _bandwidthIsHigh() const;
    // Whether a node of that class (bandwidth, or standard/defence) could win
    // an ordinary pass of the next selection.
    bool _canWin(bool bandwidth) const;
    void _onSelectOk(Node* node);
    void _onSelectFail(const Error& error);

    ITunnelContext* m_context;
    kx::core::Timer m_tickTimer;
    kx::core::Timer m_selectTimer;
    int32_t m_errorCount;
    kx::core::Timer m_optimizeTimer;
    bool m_bandwidth;
};

}  // namespace tunnel
