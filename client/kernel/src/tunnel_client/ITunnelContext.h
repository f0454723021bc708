#pragma once

#include <cstdint>

#include "core/src/value/String.h"
#include "tunnel_client/client/FailureKind.h"
#include "tunnel_client/client/LoginInfo.h"

namespace kx {
namespace net {
class SocketEventSelector;
}
namespace util {
class ILogRecorder;
}
}  // namespace kx

namespace tunnel {

class ForwardTunnel;
class NodeManager;
class NodeSelectService;
class UpstreamBindService;

// The hub of one tunnel client: the only way its services reach each other,
// the node list, the forwards and the outside. Services keep a plain pointer
// to it and never store what it returns; everything returned lives as long as
// the context. Worker thread only.
class ITunnelContext {
public:
    virtual kx::util::ILogRecorder* logger() = 0;
    virtual kx::net::SocketEventSelector* selector() = 0;
    virtual const LoginInfo& loginInfo() const = 0;
    virtual int64_t targetId() const = 0;
    virtual NodeManager* nodeManager() = 0;
    virtual ForwardTunnel* forwardTunnel() = 0;
    virtual UpstreamBindService* upstreamBindService() = 0;
    virtual NodeSelectService* nodeSelectService() = 0;
    // An empty text clears the client's last error.
    virtual void setLastError(const kx::core::String& text) = 0;
    // One more failure of this kind, for the status counters.
    virtual void countFailure(FailureKind) {}
    virtual ~ITunnelContext() = default;
};

}  // namespace tunnel
