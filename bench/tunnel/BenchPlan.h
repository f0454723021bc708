#pragma once

#include <cstdint>
#include <string>

namespace bench {

// The loopback ports of one benchmark run and the configuration files that
// place the lab, the back ends and the SDK host on them.
struct BenchPlan {
    static const char* const ACCESS_KEY;
    static const int64_t TARGET_ID = 1;

    uint16_t admin, switchA, switchB;                  // a: standard node, b: bandwidth node
    uint16_t echo, source, sink;                       // the relay's back ends
    uint16_t directEcho, directSource, directSink;     // the same servers, reached directly
    uint16_t idleSwitch;                               // the back-end lab's unused switch
    uint16_t forwardEcho, forwardSource, forwardSink;  // the SDK's local forwards
    uint16_t closed;  // standby port where nothing listens: no silent bypass of the tunnel

    // Free ports the kernel hands out on 127.0.0.1, all different.
    static BenchPlan pick();

    // The switches with their own back ends and routes, and the admin port.
    std::string labConfig() const;
    // The direct path's back ends, in a lab process of their own: a back end
    // that shares the switches' loop would slow the relay while the direct
    // baseline runs (a source that keeps up with a fast reader holds that
    // loop long enough to delay the switches' heartbeats). A lab needs one
    // switch; this one is never used.
    std::string backendConfig() const;
    // The SDK host's target file: both switches as nodes, one forward per back end.
    std::string targetConfig() const;
};

}  // namespace bench
