#pragma once

#include "core/src/value/String.h"

namespace kx {
namespace util {

// Three-level log sink. Callers pass the bare message; recorders add the time
// stamp and the level tag.
class ILogRecorder {
public:
    virtual void info(const kx::core::String& text) = 0;
    virtual void warn(const kx::core::String& text) = 0;
    virtual void error(const kx::core::String& text) = 0;
    virtual ~ILogRecorder() = default;
};

}  // namespace util
}  // namespace kx
