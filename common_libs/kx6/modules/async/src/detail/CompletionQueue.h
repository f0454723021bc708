#pragma once

#include <deque>
#include <functional>
#include <utility>

namespace kx {
namespace async {
namespace detail {

// FIFO of completions waiting for the reactor's next drain.
class CompletionQueue {
public:
    void push(std::function<void()> fn) { m_items.push_back(std::move(fn)); }
    bool isEmpty() const { return m_items.empty(); }
    int size() const { return static_cast<int>(m_items.size()); }
    // Takes the oldest completion; false when there is none.
    bool pop(std::function<void()>* out) {
        if (m_items.empty()) return false;
        *out = std::move(m_items.front());
        m_items.pop_front();
        return true;
    }

private:
    std::deque<std::function<void()>> m_items;
};

}  // namespace detail
}  // namespace async
}  // namespace kx
