#pragma once

#include <memory>

namespace kx {
namespace core {

// Recursive mutex: the owning thread may lock it again.
class CriticalSection {
public:
    CriticalSection();
    virtual ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void lock();
    void unlock();
    bool tryLock();

private:
    struct Impl;
    std::unique_ptr<Impl> m_im;
};

}  // namespace core
}  // namespace kx
