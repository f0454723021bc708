#pragma once

#include <functional>
#include <mutex>
#include <vector>

namespace tunnel {

// Notification centre for the application lifecycle, one per SdkState. The
// host posts (korvane_post_lifecycle); observers registered under a
// notification are called synchronously on the posting thread, in
// registration order.
class NotificationCenter {
public:
    enum Notification {
        DID_ENTER_BACKGROUND = 1,
        WILL_ENTER_FOREGROUND = 2,
    };

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    void addObserver(const void* observer, Notification name, std::function<void()> handler);
    // Removes every registration of observer.
    void removeObserver(const void* observer);
    // Number of handlers called.
    int post(Notification name);

private:
    struct Entry {
        const void* observer;
        Notification name;
        std::function<void()> handler;
    };

    std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

}  // namespace tunnel
