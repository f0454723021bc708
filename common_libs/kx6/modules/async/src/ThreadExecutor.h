#pragma once

#include <deque>
#include <functional>
#include <mutex>

#include "async/src/IExecutor.h"
#include "core/src/thread/Semaphore.h"
#include "core/src/thread/Thread.h"

namespace kx {
namespace async {

// Runs posted tasks one at a time, in posting order, on its own worker
// thread. post() may be called from any thread.
class ThreadExecutor : public IExecutor {
public:
    ThreadExecutor();
    // Requires idle().
    ~ThreadExecutor() override;
    ThreadExecutor(const ThreadExecutor&) = delete;
    ThreadExecutor& operator=(const ThreadExecutor&) = delete;

    // An empty task is ignored.
    void post(std::function<void()> task) override;
    // Every posted task has finished.
    bool idle() const;

private:
    struct Worker {
        core::Thread thread;
        bool run(std::function<void()> body) { return thread.start(std::move(body)); }
        void join() { thread.stop(-1); }
    };

    void _worker();

    Worker m_thread;
    core::Semaphore m_semaphore;
    mutable std::mutex m_mutex;
    std::deque<std::function<void()>> m_tasks;
    int m_pending = 0;
    bool m_stopping = false;
};

}  // namespace async
}  // namespace kx
