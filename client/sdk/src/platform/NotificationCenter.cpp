#include "platform/NotificationCenter.h"

#include <algorithm>

namespace tunnel {

void NotificationCenter::addObserver(const void* observer, Notification name,
                                     std::function<void()> handler) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_entries.push_back(Entry{observer, name, std::move(handler)});
}

void NotificationCenter::removeObserver(const void* observer) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(),
                                   [observer](const Entry& e) { return e.observer == observer; }),
                    m_entries.end());
}

int NotificationCenter::post(Notification name) {
    // Handlers run outside the lock: one may remove observers (a handler that
    // stops the SDK uninstalls the lifecycle observer).
    std::vector<std::function<void()>> handlers;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        for (const Entry& e : m_entries) {
            if (e.name == name && e.handler) handlers.push_back(e.handler);
        }
    }
    for (auto& handler : handlers) handler();
    return static_cast<int>(handlers.size());
}

}  // namespace tunnel
