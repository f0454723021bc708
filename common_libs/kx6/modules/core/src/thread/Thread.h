#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "core/src/thread/Semaphore.h"

namespace kx {
namespace core {

// A detached system thread running one body. The body learns of a stop
// request only by polling state() (or isRunning()). An exception escaping the
// body is fatal: it is reported through the assertion reporter.
class Thread {
public:
    enum class State : int32_t { STOPPED = 0, RUNNING = 1, STOPPING = 2 };

    Thread();
    // Waits for the body to return; asserts that it did.
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Refused unless STOPPED. Returns once the new thread is RUNNING.
    bool start(std::function<void()> body);
    // Asks the body to stop and waits up to timeoutMs (< 0: no limit) for it.
    void stop(int32_t timeoutMs = -1);

    State state() const { return m_state.load(); }
    bool isRunning() const { return m_state.load() == State::RUNNING; }

private:
    static void* _entry(void* self);
    void _run();

    std::atomic<State> m_state;
    Semaphore m_sem;
    std::function<void()> m_body;
};

}  // namespace core
}  // namespace kx
