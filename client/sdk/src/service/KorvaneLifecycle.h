#pragma once

#include <atomic>

#include "platform/SerialQueue.h"

namespace tunnel {

class NotificationCenter;
class SdkState;

// Stops the SDK when the application enters the background (unless it asked
// to keep running) and rebuilds it when the application comes back. Both
// handlers run synchronously on the lifecycle's own serial queue, so a
// notification waits for a running start or stop and vice versa. Owned by
// the SdkState it drives, observing that state's notification centre.
class KorvaneLifecycle {
public:
    KorvaneLifecycle(NotificationCenter* center, SdkState* state);
    ~KorvaneLifecycle();
    KorvaneLifecycle(const KorvaneLifecycle&) = delete;
    KorvaneLifecycle& operator=(const KorvaneLifecycle&) = delete;

    void install();
    void uninstall();
    bool installed() const { return m_installed; }

    void onDidEnterBackground();
    void onWillEnterForeground();

    SerialQueue& queue() { return m_queue; }

private:
    NotificationCenter* m_center;
    SdkState* m_state;
    SerialQueue m_queue{"korvane.lifecycle"};
    std::atomic<bool> m_installed{false};
};

}  // namespace tunnel
