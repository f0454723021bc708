#pragma once

#include <memory>

#include "core/src/thread/CriticalSection.h"
#include "core/src/value/Binary.h"
#include "core/src/value/String.h"

namespace tunnel {

class Application;

// The process-wide state behind the exported functions: at most one running
// Application, the inputs of the last successful start (kept for the
// foreground rebuild) and the last error. Every operation holds one recursive
// lock for its whole run.
class SdkState {
public:
    static const int RESULT_OK = 0;
    static const int RESULT_INVALID_CONFIG = 1001;
    static const int RESULT_ALREADY_STARTED = 1004;
    static const int RESULT_OPEN_FAILED = 1009;

    static SdkState& instance();

    SdkState();
    ~SdkState();
    SdkState(const SdkState&) = delete;
    SdkState& operator=(const SdkState&) = delete;

    int start(const char* configJson);
    int stop();
    // UTF-8, NUL-terminated; valid until the next call of the same operation.
    const char* error();
    const char* status();

    // Lifecycle blocks (run on the lifecycle queue).
    void enterBackground();
    void enterForeground();

    // Documents + "/Korvane" and temporary + "/.debug", trailing "/" removed.
    static kx::core::String applicationDirectory();
    static kx::core::String debugDirectory();

    // Introspection for tests and the status text.
    bool isStarted();
    bool isRunning();

private:
    int _startLocked(const kx::core::String& debugDir, const kx::core::String& appDir,
                     const kx::core::String& configText);
    void _stopLocked();
    int _rebuildLocked();

    kx::core::CriticalSection m_lock;
    std::unique_ptr<Application> m_application;
    bool m_started;
    bool m_keepInBackground;
    kx::core::String m_savedDebugDir;
    kx::core::String m_savedAppDir;
    kx::core::String m_savedConfig;
    kx::core::String m_lastError;
    kx::core::Binary m_errorBuffer;
    kx::core::Binary m_statusBuffer;
};

}  // namespace tunnel
