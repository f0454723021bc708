#include "service/KorvaneLifecycle.h"

#include "platform/NotificationCenter.h"
#include "service/SdkState.h"

namespace tunnel {

KorvaneLifecycle::KorvaneLifecycle(NotificationCenter* center, SdkState* state)
    : m_center(center), m_state(state) {}

KorvaneLifecycle::~KorvaneLifecycle() {
    uninstall();
}

// Callers hold the SDK lock, which serialises install and uninstall.
void KorvaneLifecycle::install() {
    if (m_installed) return;
    m_center->addObserver(this, NotificationCenter::DID_ENTER_BACKGROUND,
                          [this] { onDidEnterBackground(); });
    m_center->addObserver(this, NotificationCenter::WILL_ENTER_FOREGROUND,
                          [this] { onWillEnterForeground(); });
    m_installed = true;
}

void KorvaneLifecycle::uninstall() {
    if (!m_installed) return;
    m_center->removeObserver(this);
    m_installed = false;
}

void KorvaneLifecycle::onDidEnterBackground() {
    m_queue.sync([this] { m_state->enterBackground(); });
}

void KorvaneLifecycle::onWillEnterForeground() {
    m_queue.sync([this] { m_state->enterForeground(); });
}

}  // namespace tunnel
