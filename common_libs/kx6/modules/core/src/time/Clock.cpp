#include "core/src/time/Clock.h"

#include <sys/time.h>

#include <atomic>

namespace kx {
namespace core {

namespace {
std::atomic<int64_t> g_offset{0};
std::atomic<bool> g_frozen{false};
std::atomic<uint32_t> g_frozenValue{0};
}  // namespace

uint32_t Clock::nowMs() {
    if (g_frozen.load(std::memory_order_relaxed)) return g_frozenValue.load();
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    int64_t ms = int64_t(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
    return static_cast<uint32_t>(ms + g_offset.load(std::memory_order_relaxed));
}

void Clock::advance(int64_t ms) {
    if (g_frozen.load()) g_frozenValue.fetch_add(static_cast<uint32_t>(ms));
    g_offset.fetch_add(ms);
}

void Clock::freeze(uint32_t ms) {
    g_frozenValue.store(ms);
    g_frozen.store(true);
}

void Clock::unfreeze() { g_frozen.store(false); }

void Clock::resetForTests() {
    g_frozen.store(false);
    g_offset.store(0);
}

}  // namespace core
}  // namespace kx
