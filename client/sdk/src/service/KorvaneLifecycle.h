#pragma once

#include <atomic>

namespace tunnel {

class SerialQueue;

// Stops the SDK when the application enters the background (unless it asked
// to keep running) and rebuilds it when the application comes back. Both
// handlers run synchronously on the SDK's own serial queue, so a notification
// waits for a running start or stop and vice versa.
class KorvaneLifecycle {
public:
    static KorvaneLifecycle& shared();

    void install();
    void uninstall();
    bool installed() const { return m_installed; }
    void setInstalled(bool installed) { m_installed = installed; }

    void onDidEnterBackground();
    void onWillEnterForeground();

    static SerialQueue& queue();

private:
    KorvaneLifecycle() = default;

    std::atomic<bool> m_installed{false};
};

}  // namespace tunnel
