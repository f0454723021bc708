#pragma once

#include <cstdint>

namespace tunnel {

class ITunnelContext;

// Reads the tunnel's traffic rates and says whether the bound node class
// still fits: high traffic wants a bandwidth node, low traffic a standard one.
// Worker thread only (the rates belong to the forward tunnel).
class OptimizeService {
public:
    static constexpr int64_t HIGH_RATE = 524288;  // bytes per second over 10 s
    static constexpr int64_t LOW_RATE = 131072;   // bytes per second over 10 s and 60 s

    explicit OptimizeService(ITunnelContext* context);
    virtual ~OptimizeService() = default;

    bool bandwidthIsHigh() const;
    bool bandwidthIsLow() const;

private:
    ITunnelContext* m_context;
};

}  // namespace tunnel
