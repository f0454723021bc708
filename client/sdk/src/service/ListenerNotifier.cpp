#include "service/ListenerNotifier.h"

#include <pthread.h>

namespace tunnel {

ListenerNotifier::~ListenerNotifier() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stopping = true;
    }
    m_ready.notify_all();
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach();  // the listener ended the process from its own call
        else
            m_thread.join();
    }
}

void ListenerNotifier::setListener(Listener listener, void* context) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_listener = listener;
    m_context = context;
    if (!listener) m_events.clear();
    if (listener && !m_thread.joinable() && !m_stopping) {
        m_thread = std::thread([this] { _run(); });
    }
}

void ListenerNotifier::post(std::string eventJson) {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (!m_listener || m_stopping) return;
        m_events.push_back(std::move(eventJson));
    }
    m_ready.notify_one();
}

void ListenerNotifier::_run() {
    pthread_setname_np(pthread_self(), "korvane.notify");
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_ready.wait(lock, [this] { return m_stopping || !m_events.empty(); });
        if (m_events.empty()) return;  // stopping, all delivered
        std::string event = std::move(m_events.front());
        m_events.pop_front();
        const Listener listener = m_listener;
        void* const context = m_context;
        if (!listener) continue;
        lock.unlock();
        try {
            listener(event.c_str(), context);
        } catch (...) {
            // The host's code threw through a C callback; nothing to hand it to.
        }
        lock.lock();
    }
}

}  // namespace tunnel
