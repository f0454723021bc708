#pragma once

#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "tunnel_launcher/LauncherStatus.h"
#include "tunnel_launcher/TargetStatusSnapshot.h"

namespace tunnel {

// What the worker thread drives each round: TunnelWrapper in the SDK, a
// scripted stand-in in tests of the worker's timing.
class ITunnelWorker {
public:
    virtual ~ITunnelWorker() = default;
    virtual bool isRunning() const = 0;
    virtual void tick() = 0;
    virtual kx::core::String errorText() const = 0;
    virtual LauncherStatus status() const = 0;
    // Per-target snapshots, rates since the previous call.
    virtual kx::core::Array<TargetStatusSnapshot> takeStatus() = 0;
};

}  // namespace tunnel
