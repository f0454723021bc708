#pragma once

#include <functional>
#include <unordered_map>
#include <vector>

#include "async/src/detail/CompletionQueue.h"
#include "core/src/time/Timer.h"

namespace kx {
namespace async {
namespace detail {

enum WaitSlot { SLOT_READ = 0, SLOT_WRITE = 1, SLOT_EXCEPT = 2 };

struct Waiter {
    std::function<void(bool)> callback;  // empty: the slot is free
    core::Timer timeout;
    bool noLimit = false;
};

struct WaitGroup {
    Waiter slots[3];
    bool isEmpty() const { return !slots[0].callback && !slots[1].callback && !slots[2].callback; }
};

struct FdInterest {
    int fd;
    short events;
};

// Per-descriptor waiters of a SocketReactor: one read, one write and one
// except waiter per descriptor, each with its own timeout.
class WaitTable {
public:
    static constexpr int FD_LIMIT = 65536;

    // False (and nothing stored) when fd is -1, the slot is taken or the table
    // is full; the caller then fails the callback itself.
    bool occupy(int fd, int slot, std::function<void(bool)> callback, int timeoutMs);
    bool isFree(int fd, int slot) const;
    // Queues the waiter's callback with ok; false when the slot is free.
    bool complete(int fd, int slot, bool ok, CompletionQueue* queue);
    bool cancel(int fd, int slot, CompletionQueue* queue) {
        return complete(fd, slot, false, queue);
    }
    // Cancels every waiter of fd and forgets it; returns how many were cancelled.
    int release(int fd, CompletionQueue* queue);
    // Fills interests with every descriptor that has a waiter.
    void collect(std::vector<FdInterest>* interests) const;
    // Completes waiters whose timeout passed with false, drops empty groups.
    void expire(CompletionQueue* queue);
    bool isEmpty() const { return m_groups.empty(); }

private:
    std::unordered_map<int, WaitGroup> m_groups;
};

}  // namespace detail
}  // namespace async
}  // namespace kx
