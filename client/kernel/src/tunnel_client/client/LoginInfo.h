#pragma once

#include "core/src/value/String.h"

namespace tunnel {

// What every node client needs to log in. The access key itself never
// travels; only its digest and a proof bound to a one-time id do.
struct LoginInfo {
    kx::core::String accessKey;
    kx::core::String clientToken;
    kx::core::String clientVersion;
};

}  // namespace tunnel
