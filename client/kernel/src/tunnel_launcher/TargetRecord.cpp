#include "tunnel_launcher/TargetRecord.h"

#include <algorithm>

namespace tunnel {

kx::core::Array<ForwardPort> ForwardRecord::ports() const {
    kx::core::Array<ForwardPort> out;
    const int32_t n = std::min(range, RANGE_LIMIT);
    if (n < 0) return out;
    out.reserve(n + 1);
    for (int32_t i = 0; i <= n; ++i) {
        // 64-bit sums: a first port near INT32_MAX must clamp, not wrap.
        ForwardPort port;
        port.clientPort =
            static_cast<int32_t>(std::min<int64_t>(int64_t(clientPort) + i, PORT_LIMIT));
        port.standbyPort =
            static_cast<int32_t>(std::min<int64_t>(int64_t(standbyPort) + i, PORT_LIMIT));
        out.append(port);
    }
    return out;
}

}  // namespace tunnel
