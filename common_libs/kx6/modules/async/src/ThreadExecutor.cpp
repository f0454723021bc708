#include "async/src/ThreadExecutor.h"

#include <utility>

#include "core/src/debug/Assert.h"

namespace kx {
namespace async {

ThreadExecutor::ThreadExecutor() {
    KX_ASSERT(m_thread.run([this]() { this->_worker(); }));
}

ThreadExecutor::~ThreadExecutor() {
    KX_ASSERT(this->idle());
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_semaphore.signal();
    m_thread.join();
}

void ThreadExecutor::post(std::function<void()> task) {
    if (!task) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_pending;
        m_tasks.push_back(std::move(task));
    }
    m_semaphore.signal();
}

bool ThreadExecutor::idle() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pending == 0;
}

void ThreadExecutor::_worker() {
    for (;;) {
        m_semaphore.wait(-1);
        std::function<void()> task;
        bool stopping;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_tasks.empty()) {
                task = std::move(m_tasks.front());
                m_tasks.pop_front();
            }
            stopping = m_stopping;
        }
        if (task) {
            task();
            std::lock_guard<std::mutex> lock(m_mutex);
            KX_ASSERT(m_pending > 0);
            --m_pending;
        }
        if (stopping) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_tasks.empty()) return;
        }
    }
}

}  // namespace async
}  // namespace kx
