#pragma once

#include <cstdint>

namespace tunnel {

// Why a tunnel client lost, or could not get, its switch; counted per kind for
// the status text.
enum class FailureKind : int32_t {
    SELECT = 0,   // no switch answered the latency race
    CONNECT = 1,  // the switch connection failed or closed before the tunnel opened
    REFUSED = 2,  // the switch answered the open with an error
    TIMEOUT = 3,  // the switch did not open the tunnel in time
    SILENT = 4,   // an open tunnel heard nothing for too long and was closed
};

constexpr int32_t FAILURE_KIND_COUNT = 5;

}  // namespace tunnel
