#include "tunnel_host/StopSignal.h"

#include <signal.h>

#include <cstring>

namespace tunnel {

namespace {

std::atomic<bool> g_raised{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

void onStopSignal(int) {
    g_raised.store(true);
}

}  // namespace

bool StopSignal::install() {
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = onStopSignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

const std::atomic<bool>& StopSignal::flag() {
    return g_raised;
}

void StopSignal::clear() {
    g_raised.store(false);
}

}  // namespace tunnel
