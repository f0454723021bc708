#pragma once

#include "core/src/thread/CriticalSection.h"

namespace kx {
namespace core {

// Scoped lock on a CriticalSection.
class LockGuard {
public:
    explicit LockGuard(CriticalSection& section) : m_section(section) { m_section.lock(); }
    ~LockGuard() { m_section.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    CriticalSection& m_section;
};

}  // namespace core
}  // namespace kx
