#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace tunnel {

// Delivers the SDK's events to the host's listener on a thread of its own
// ("korvane.notify"), one at a time, in the order posted. post() never blocks
// on the listener, and the listener is called with no lock held, so it may
// call back into the SDK, this notifier included.
class ListenerNotifier {
public:
    typedef void (*Listener)(const char* eventJson, void* context);

    ListenerNotifier() = default;
    // Delivers what is queued, then joins the thread.
    ~ListenerNotifier();
    ListenerNotifier(const ListenerNotifier&) = delete;
    ListenerNotifier& operator=(const ListenerNotifier&) = delete;

    void setListener(Listener listener, void* context);
    // Queued only while a listener is set; dropped otherwise.
    void post(std::string eventJson);

private:
    void _run();

    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<std::string> m_events;
    Listener m_listener = nullptr;
    void* m_context = nullptr;
    bool m_stopping = false;
    std::thread m_thread;  // started with the first listener
};

}  // namespace tunnel
