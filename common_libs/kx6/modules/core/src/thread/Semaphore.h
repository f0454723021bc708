#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kx {
namespace core {

// Counting semaphore starting at 0. Waits are measured on a steady clock, so
// a wall-clock jump neither cuts them short nor stretches them.
class Semaphore {
public:
    Semaphore();
    virtual ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Takes one count; ms < 0 waits without limit. False on time-out.
    bool wait(int32_t ms = -1);
    // Adds n counts (n < 1 adds nothing).
    bool signal(int32_t n = 1);
    // Drops every pending count.
    void drain();

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    int64_t m_count;
};

}  // namespace core
}  // namespace kx
