#include "service/KorvaneLifecycle.h"

#include "platform/NotificationCenter.h"
#include "platform/SerialQueue.h"
#include "service/SdkState.h"

namespace tunnel {

KorvaneLifecycle& KorvaneLifecycle::shared() {
    static KorvaneLifecycle lifecycle;
    return lifecycle;
}

SerialQueue& KorvaneLifecycle::queue() {
    static SerialQueue queue("korvane.lifecycle");
    return queue;
}

// Callers hold the SDK lock, which serialises install and uninstall.
void KorvaneLifecycle::install() {
    if (m_installed) return;
    NotificationCenter& center = NotificationCenter::defaultCenter();
    center.addObserver(this, NotificationCenter::DID_ENTER_BACKGROUND,
                       [this] { onDidEnterBackground(); });
    center.addObserver(this, NotificationCenter::WILL_ENTER_FOREGROUND,
                       [this] { onWillEnterForeground(); });
    m_installed = true;
}

void KorvaneLifecycle::uninstall() {
    if (!m_installed) return;
    NotificationCenter::defaultCenter().removeObserver(this);
    m_installed = false;
}

void KorvaneLifecycle::onDidEnterBackground() {
    queue().sync([] { SdkState::instance().enterBackground(); });
}

void KorvaneLifecycle::onWillEnterForeground() {
    queue().sync([] { SdkState::instance().enterForeground(); });
}

}  // namespace tunnel
