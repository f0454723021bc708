#include "core/src/thread/Semaphore.h"

#include <chrono>

namespace kx {
namespace core {

Semaphore::Semaphore() : m_count(0) {}

Semaphore::~Semaphore() = default;

bool Semaphore::wait(int32_t ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (ms < 0) {
        m_cond.wait(lock, [this] { return m_count > 0; });
    } else if (!m_cond.wait_for(lock, std::chrono::milliseconds(ms),
                                [this] { return m_count > 0; })) {
        return false;
    }
    --m_count;
    return true;
}

bool Semaphore::signal(int32_t n) {
    if (n < 1) return true;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_count += n;
    }
    if (n == 1) {
        m_cond.notify_one();
    } else {
        m_cond.notify_all();
    }
    return true;
}

void Semaphore::drain() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_count = 0;
}

}  // namespace core
}  // namespace kx
