#include "platform/SerialQueue.h"

namespace tunnel {

namespace {

// The queue whose block this thread is running, if any.
thread_local const SerialQueue* t_currentQueue = nullptr;

}  // namespace

SerialQueue::SerialQueue(const char* label) : m_label(label) {}

bool SerialQueue::isCurrent() const {
    return t_currentQueue == this;
}

void SerialQueue::sync(const std::function<void()>& block) {
    if (isCurrent()) {
        block();
        return;
    }
    std::lock_guard<std::mutex> guard(m_mutex);
    const SerialQueue* previous = t_currentQueue;
    t_currentQueue = this;
    struct Restore {
        const SerialQueue* previous;
        ~Restore() { t_currentQueue = previous; }
    } restore{previous};
    block();
}

}  // namespace tunnel
