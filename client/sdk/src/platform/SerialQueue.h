#pragma once

#include <functional>
#include <mutex>

namespace tunnel {

// A serial queue with synchronous submit only: blocks run one at a time, on
// the submitting thread, which waits for its turn. A block submitted from a
// block already running on this queue runs inline instead of deadlocking;
// the queue-specific marker tells the two cases apart.
class SerialQueue {
public:
    explicit SerialQueue(const char* label);
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const char* label() const { return m_label; }
    // True on a thread that is running a block of this queue.
    bool isCurrent() const;
    void sync(const std::function<void()>& block);

private:
    const char* m_label;
    std::mutex m_mutex;
};

}  // namespace tunnel
