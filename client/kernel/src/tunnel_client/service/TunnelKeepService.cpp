#include "tunnel_client/service/TunnelKeepService.h"

#include "core/src/debug/Assert.h"
#include "tunnel_client/ITunnelContext.h"
#include "tunnel_client/node/Node.h"
#include "tunnel_client/node/NodeManager.h"
#include "tunnel_client/service/NodeSelectService.h"
#include "tunnel_client/service/OptimizeService.h"
#include "tunnel_client/service/UpstreamBindService.h"
#include "util/src/log/ILogRecorder.h"

namespace tunnel {

using kx::core::String;

TunnelKeepService::TunnelKeepService(ITunnelContext* context)
    : m_context(context),
      m_tickTimer(TICK_MS),
      m_selectTimer(0),
      m_errorCount(0),
      m_optimizeTimer(OPTIMIZE_MS),
      m_bandwidth(false) {
    KX_ASSERT(m_context);
    // Both start expired so the first tick acts at once.
    m_tickTimer.shorten(TICK_MS);
    m_optimizeTimer.shorten(OPTIMIZE_MS);
}

void TunnelKeepService::tick() {
    // With the bound tunnel up this tick only watches for a change that
    // arrives with I/O or another timer, so it need not wake the loop itself.
    UpstreamBindService* bind = m_context->upstreamBindService();
    const bool watching = bind->isBound() && bind->isOpen();
    if (!(watching ? m_tickTimer.isDue() : m_tickTimer.isExpired())) return;
    m_tickTimer.start(TICK_MS);
    _processOptimize();
    _processRebind();
}

bool TunnelKeepService::_bandwidthIsHigh() const {
    return OptimizeService(m_context).bandwidthIsHigh();
}

void TunnelKeepService::_processOptimize() {
    UpstreamBindService* bind = m_context->upstreamBindService();
    if (!bind->isBound()) return;
    if (!bind->isOpen()) {
        m_context->logger()->warn(L"[Client] Not alive, to unbind!");
        bind->unbind();
        return;
    }
    if (!m_optimizeTimer.isExpired()) return;
    OptimizeService optimize(m_context);
    // An unbind that cannot lead to the other class only stalls the traffic
    // while the same switch is raced and bound again.
    if (optimize.bandwidthIsHigh() && !m_bandwidth && _canWin(true)) {
        m_context->logger()->info(L"[Client] Optimize as bandwidth, to unbind.");
        bind->unbind();
        m_optimizeTimer.start(OPTIMIZE_MS);
    } else if (optimize.bandwidthIsLow() && m_bandwidth && _canWin(false)) {
        m_context->logger()->info(L"[Client] Optimize as standard, to unbind.");
        bind->unbind();
        m_optimizeTimer.start(OPTIMIZE_MS);
    }
}

bool TunnelKeepService::_canWin(bool bandwidth) const {
    NodeSelectService* select = m_context->nodeSelectService();
    for (const auto& node : m_context->nodeManager()->nodes()) {
        const String& type = node->type();
        bool fits = bandwidth ? type == String(L"bandwidth")
                              : type.isEmpty() || type == String(L"standard") ||
                                    type == String(L"defence");
        // A demoted node races only as a backup, behind every ordinary one.
        if (fits && !select->isDemoted(node->address())) return true;
    }
    return false;
}

void TunnelKeepService::_processRebind() {
    if (m_context->upstreamBindService()->isBound()) return;
    if (m_selectTimer.interval() > 0) {
        if (!m_selectTimer.isExpired()) return;
        m_selectTimer.reset();
    }
    NodeSelectService* select = m_context->nodeSelectService();
    if (select->isSelecting()) return;
    m_context->logger()->info(L"[Client] Selecting switchs ...");
    // Cannot refuse: nothing is selecting (checked just above).
    KX_ASSERT(select->select(
        m_context->loginInfo(), m_context->targetId(),
        m_context->upstreamBindService()->tunnelInfo().natId, _bandwidthIsHigh(),
        [this](Node* node) { _onSelectOk(node); },
        [this](const Error& error) { _onSelectFail(error); }));
}

void TunnelKeepService::_onSelectOk(Node* node) {
    m_bandwidth = node->type() == String(L"bandwidth");
    m_context->upstreamBindService()->bind(node->address());
    m_errorCount = 0;
    m_selectTimer.start(0);
}

void TunnelKeepService::_onSelectFail(const Error& error) {
    if (error.message.isEmpty()) {
        m_context->logger()->warn(L"[Client] No switchs are available!");
    } else {
        m_context->logger()->warn(String(L"[Client] ") + error.message);
    }
    m_context->setLastError(error.message.isEmpty() ? String(L"No switchs are available")
                                                    : error.message);
    m_context->countFailure(FailureKind::SELECT);
    if (m_errorCount < 0) return;
    if (m_errorCount++ >= MAX_ERRORS) {
        m_context->logger()->info(L"[Client] Too many errors, reselect later.");
        m_selectTimer.start(BACKOFF_MS);
    }
}

}  // namespace tunnel
