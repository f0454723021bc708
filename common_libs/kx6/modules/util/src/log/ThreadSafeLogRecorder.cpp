#include "util/src/log/ThreadSafeLogRecorder.h"

#include "core/src/thread/LockGuard.h"

using kx::core::LockGuard;
using kx::core::String;

namespace kx {
namespace util {

ThreadSafeLogRecorder::ThreadSafeLogRecorder(ILogRecorder* inner) : m_inner(inner) {}

void ThreadSafeLogRecorder::info(const String& text) {
    if (!m_inner) return;
    LockGuard guard(m_section);
    m_inner->info(text);
}

void ThreadSafeLogRecorder::warn(const String& text) {
    if (!m_inner) return;
    LockGuard guard(m_section);
    m_inner->warn(text);
}

void ThreadSafeLogRecorder::error(const String& text) {
    if (!m_inner) return;
    LockGuard guard(m_section);
    m_inner->error(text);
}

}  // namespace util
}  // namespace kx
