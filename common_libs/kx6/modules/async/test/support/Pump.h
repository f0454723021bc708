#pragma once

#include <chrono>
#include <functional>

#include "async/src/Reactor.h"

namespace kx {
namespace testing {

// Runs reactor steps until done() holds or limitMs of real time passed.
inline bool pumpUntil(async::Reactor& reactor, const std::function<bool()>& done,
                      int limitMs = 5000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        reactor.runOnce(10);
    }
    return true;
}

}  // namespace testing
}  // namespace kx
