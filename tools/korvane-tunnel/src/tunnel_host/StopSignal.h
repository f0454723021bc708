#pragma once

#include <atomic>

namespace tunnel {

// SIGINT and SIGTERM ask the worker loop to stop: the handler only sets a
// flag that the loop reads once per round. Each handler resets itself, so a
// second signal ends a stuck process the default way.
class StopSignal {
public:
    static bool install();
    static const std::atomic<bool>& flag();
    static bool isRaised() { return flag().load(); }
    static void clear();
};

}  // namespace tunnel
