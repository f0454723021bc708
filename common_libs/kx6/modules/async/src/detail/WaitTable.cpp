#include "async/src/detail/WaitTable.h"

#include <poll.h>

#include <utility>

namespace kx {
namespace async {
namespace detail {

bool WaitTable::occupy(int fd, int slot, std::function<void(bool)> callback, int timeoutMs) {
    if (fd < 0 || slot < 0 || slot > 2) return false;
    auto it = m_groups.find(fd);
    if (it == m_groups.end()) {
        if (static_cast<int>(m_groups.size()) >= FD_LIMIT) return false;
        it = m_groups.emplace(fd, WaitGroup()).first;
    }
    Waiter& w = it->second.slots[slot];
    if (w.callback) return false;
    w.callback = std::move(callback);
    w.noLimit = timeoutMs < 0;
    w.timeout.start(w.noLimit ? 0 : timeoutMs);
    return true;
}

bool WaitTable::isFree(int fd, int slot) const {
    auto it = m_groups.find(fd);
    if (it == m_groups.end() || slot < 0 || slot > 2) return true;
    return !it->second.slots[slot].callback;
}

bool WaitTable::complete(int fd, int slot, bool ok, CompletionQueue* queue) {
    auto it = m_groups.find(fd);
    if (it == m_groups.end() || slot < 0 || slot > 2) return false;
    Waiter& w = it->second.slots[slot];
    if (!w.callback) return false;
    std::function<void(bool)> cb = std::move(w.callback);
    w.callback = nullptr;
    queue->push([cb, ok]() { cb(ok); });
    return true;
}

int WaitTable::release(int fd, CompletionQueue* queue) {
    int cancelled = 0;
    for (int slot = 0; slot < 3; ++slot) {
        if (complete(fd, slot, false, queue)) ++cancelled;
    }
    m_groups.erase(fd);
    return cancelled;
}

void WaitTable::collect(std::vector<FdInterest>* interests) const {
    interests->clear();
    for (const auto& entry : m_groups) {
        short events = 0;
        if (entry.second.slots[SLOT_READ].callback) events |= POLLIN;
        if (entry.second.slots[SLOT_WRITE].callback) events |= POLLOUT;
        if (entry.second.slots[SLOT_EXCEPT].callback) events |= POLLPRI;
        if (events != 0) interests->push_back(FdInterest{entry.first, events});
    }
}

void WaitTable::expire(CompletionQueue* queue) {
    for (auto it = m_groups.begin(); it != m_groups.end();) {
        for (int slot = 0; slot < 3; ++slot) {
            Waiter& w = it->second.slots[slot];
            if (w.callback && !w.noLimit && w.timeout.isExpired()) {
                complete(it->first, slot, false, queue);
            }
        }
        if (it->second.isEmpty()) {
            it = m_groups.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace detail
}  // namespace async
}  // namespace kx
