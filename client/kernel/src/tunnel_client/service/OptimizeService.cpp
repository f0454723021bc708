#include "tunnel_client/service/OptimizeService.h"

#include "core/src/debug/Assert.h"
#include "tunnel_client/ITunnelContext.h"
#include "tunnel_client/forward/ForwardTunnel.h"

namespace tunnel {

OptimizeService::OptimizeService(ITunnelContext* context) : m_context(context) {
    KX_ASSERT(m_context);
}

bool OptimizeService::bandwidthIsHigh() const {
    const TrafficStat& recent = m_context->forwardTunnel()->traffic().shortStat();
    return recent.receivedRate() >= HIGH_RATE || recent.sentRate() >= HIGH_RATE;
}

bool OptimizeService::bandwidthIsLow() const {
    const TrafficStatGroup& traffic = m_context->forwardTunnel()->traffic();
    return traffic.shortStat().receivedRate() < LOW_RATE &&
           traffic.shortStat().sentRate() < LOW_RATE &&
           traffic.longStat().receivedRate() < LOW_RATE && traffic.longStat().sentRate() < LOW_RATE;
}

}  // namespace tunnel
