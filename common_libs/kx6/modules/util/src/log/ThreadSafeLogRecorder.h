#pragma once

#include "core/src/thread/CriticalSection.h"
#include "util/src/log/ILogRecorder.h"

namespace kx {
namespace util {

// Serialises every level on one critical section in front of a recorder that
// is not thread-safe itself. A null inner recorder makes every call a no-op.
class ThreadSafeLogRecorder : public ILogRecorder {
public:
    explicit ThreadSafeLogRecorder(ILogRecorder* inner);

    void info(const kx::core::String& text) override;
    void warn(const kx::core::String& text) override;
    void error(const kx::core::String& text) override;

private:
    ILogRecorder* m_inner;  // not owned
    kx::core::CriticalSection m_section;
};

}  // namespace util
}  // namespace kx
