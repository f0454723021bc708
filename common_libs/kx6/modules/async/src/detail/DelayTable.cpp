#include "async/src/detail/DelayTable.h"

#include <utility>

namespace kx {
namespace async {
namespace detail {

void DelayTable::add(int id, int ms, std::function<void(bool)> callback) {
    m_items.push_back(TimeoutItem{id, core::Timer(ms), std::move(callback)});
}

bool DelayTable::contains(int id) const {
    for (const TimeoutItem& item : m_items) {
        if (item.id == id) return true;
    }
    return false;
}

bool DelayTable::cancel(int id, CompletionQueue* queue) {
    for (auto it = m_items.begin(); it != m_items.end(); ++it) {
        if (it->id != id) continue;
        std::function<void(bool)> cb = std::move(it->callback);
        m_items.erase(it);
        queue->push([cb]() { cb(false); });
        return true;
    }
    return false;
}

void DelayTable::expire(CompletionQueue* queue) {
    size_t kept = 0;
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (m_items[i].timer.isExpired()) {
            std::function<void(bool)> cb = std::move(m_items[i].callback);
            queue->push([cb]() { cb(true); });
        } else {
            if (kept != i) m_items[kept] = std::move(m_items[i]);
            ++kept;
        }
    }
    m_items.resize(kept);
}

int DelayTable::nextDeadline() const {
    int best = -1;
    for (const TimeoutItem& item : m_items) {
        int left = item.timer.remaining();
        if (best < 0 || left < best) best = left;
    }
    return best;
}

}  // namespace detail
}  // namespace async
}  // namespace kx
