#pragma once

#include "tunnel_client/forward/ForwardManager.h"
#include "tunnel_client/forward/TcpForward.h"

namespace tunnel {

// The TCP forwards of one tunnel client, one per local client port.
class TcpForwardManager : public ForwardManager<TcpForward> {
public:
    using ForwardManager<TcpForward>::ForwardManager;
};

}  // namespace tunnel
