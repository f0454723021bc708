#pragma once

#include <functional>
#include <vector>

#include "async/src/detail/CompletionQueue.h"
#include "core/src/time/Timer.h"

namespace kx {
namespace async {
namespace detail {

struct TimeoutItem {
    int id;
    core::Timer timer;
    std::function<void(bool)> callback;
};

// Pending delays in insertion order; expired ones leave in that order.
class DelayTable {
public:
    void add(int id, int ms, std::function<void(bool)> callback);
    bool contains(int id) const;
    // Queues the callback with false; false when the id is unknown.
    bool cancel(int id, CompletionQueue* queue);
    // Queues the callback of every expired item with true.
    void expire(CompletionQueue* queue);
    // Milliseconds until the earliest item expires, -1 when there is none.
    int nextDeadline() const;
    bool isEmpty() const { return m_items.empty(); }
    int size() const { return static_cast<int>(m_items.size()); }

private:
    std::vector<TimeoutItem> m_items;
};

}  // namespace detail
}  // namespace async
}  // namespace kx
