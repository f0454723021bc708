#pragma once

#include "util/src/log/FileLogRecorder.h"
#include "util/src/log/ILogRecorder.h"

namespace tunnel {

// The SDK's log of one start: silent, or daily files under the debug
// directory with every line echoed to the console.
class DebugLogRecorder : public kx::util::ILogRecorder {
public:
    DebugLogRecorder(const kx::core::String& directory, bool fileMode);

    void info(const kx::core::String& text) override;
    void warn(const kx::core::String& text) override;
    void error(const kx::core::String& text) override;

    bool isFileMode() const { return m_fileMode; }
    kx::util::FileLogRecorder& fileRecorder() { return m_file; }

private:
    kx::util::FileLogRecorder m_file;
    bool m_fileMode;
};

}  // namespace tunnel
