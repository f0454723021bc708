#pragma once

#include <functional>
#include <memory>

namespace kx {
namespace async {

// Runs posted completions and delayed callbacks on the thread that calls
// runOnce(). A completion never runs inside the call that queued it, so a
// callback may start the next operation without recursion.
class Reactor {
public:
    Reactor();
    virtual ~Reactor();
    Reactor(const Reactor&) = delete;
    Reactor& operator=(const Reactor&) = delete;

    // Queues fn for the next drain; an empty function is ignored.
    void post(std::function<void()> fn);
    // Calls callback(true) once ms have passed, or callback(false) when
    // cancelled. Returns the delay id, 0 for an empty callback or ms < 0.
    int delay(std::function<void(bool)> callback, int ms);
    void cancelDelay(int id);
    // One step: drain, wait at most timeoutMs (negative: no limit), drain.
    // Re-entrant calls return at once.
    void runOnce(int timeoutMs);
    // Not running and nothing in flight.
    bool idle() const;
    // Operations started and not yet completed.
    int inflight() const;

protected:
    virtual void wait(int ms);
    // Milliseconds until the subclass needs a step, -1 for none.
    virtual int nextDeadline();
    virtual void afterWait();

    // For subclasses: an operation has started and will complete later through
    // _queueCompletion, which must then be called exactly once.
    void _addFlight();
    void _queueCompletion(std::function<void()> fn);
    void _drain();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace async
}  // namespace kx
