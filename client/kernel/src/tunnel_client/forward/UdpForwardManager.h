#pragma once

#include "tunnel_client/forward/ForwardManager.h"
#include "tunnel_client/forward/UdpForward.h"

namespace tunnel {

// The UDP forwards of one tunnel client, one per local client port.
class UdpForwardManager : public ForwardManager<UdpForward> {
public:
    using ForwardManager<UdpForward>::ForwardManager;
};

}  // namespace tunnel
