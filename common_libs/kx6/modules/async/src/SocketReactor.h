#pragma once

#include <functional>
#include <memory>

#include "async/src/Reactor.h"

namespace kx {
namespace async {

namespace detail {
class CompletionQueue;
}

// A Reactor that also waits for readiness of single descriptors. Each
// descriptor has one read, one write and one except slot; every waiter gets
// exactly one callback, always through the completion queue: true when the
// descriptor became ready, false on timeout, cancellation or refusal.
class SocketReactor : public Reactor {
public:
    enum Slot { SLOT_READ = 0, SLOT_WRITE = 1, SLOT_EXCEPT = 2 };

    // tickMs paces the timeout checks (the SDK uses 10 ms).
    explicit SocketReactor(int tickMs);
    ~SocketReactor() override;

    // A negative timeout means no limit; 0 delivers false at the next step.
    // An empty callback is ignored. A taken slot, fd -1 or a full table make
    // the new callback receive false and leave existing waiters alone.
    void waitReadable(int fd, std::function<void(bool)> callback, int timeoutMs);
    void waitWritable(int fd, std::function<void(bool)> callback, int timeoutMs);
    void waitExcept(int fd, std::function<void(bool)> callback, int timeoutMs);

    bool isReadFree(int fd) const;
    bool isWriteFree(int fd) const;
    bool isExceptFree(int fd) const;

    // The waiter in that slot (if any) receives false.
    void cancelWait(int fd, Slot slot);
    // Forgets the descriptor; remaining waiters receive false.
    void release(int fd);

protected:
    void wait(int ms) override;
    int nextDeadline() override;
    void afterWait() override;

private:
    void _occupy(int fd, int slot, std::function<void(bool)> callback, int timeoutMs);
    // Hands completions of counted waits to the reactor's queue.
    void _deliver(detail::CompletionQueue* done);

    struct Impl;
    std::unique_ptr<Impl> m_sImpl;
};

}  // namespace async
}  // namespace kx
