#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/src/thread/CriticalSection.h"
#include "core/src/value/Any.h"
#include "core/src/value/Dictionary.h"
#include "core/src/value/String.h"
#include "korvane.h"
#include "platform/NotificationCenter.h"
#include "service/KorvaneLifecycle.h"
#include "service/ListenerNotifier.h"

namespace tunnel {

class Application;

// The process-wide state behind the exported functions: at most one running
// Application, the inputs of the last successful start (kept for the
// foreground rebuild), the last error and the status snapshot.
//
// Two locks. Start, stop and the lifecycle blocks hold the operation lock for
// their whole run. The snapshot lock guards only the error text and the
// status text, built once per worker status as UTF-8; status() and error()
// hold it just for a copy and so never wait for an operation.
class SdkState {
public:
    static SdkState& instance();

    SdkState();
    ~SdkState();
    SdkState(const SdkState&) = delete;
    SdkState& operator=(const SdkState&) = delete;

    int start(const char* configJson);
    int stop();
    // UTF-8 copies of the current snapshot.
    std::string error() const;
    std::string status() const;

    // Lifecycle blocks (run on the lifecycle queue).
    void enterBackground();
    void enterForeground();

    void setListener(ListenerNotifier::Listener listener, void* context);
    // Where the host posts lifecycle notifications.
    NotificationCenter& notifications() { return m_center; }
    bool lifecycleInstalled() const { return m_lifecycle.installed(); }
    // Records an error text (the exported boundary uses it for failures it caught).
    void recordError(const kx::core::String& text);

    // Documents + "/Korvane" and temporary + "/.debug", trailing "/" removed.
    static kx::core::String applicationDirectory();
    static kx::core::String debugDirectory();

    // Introspection for tests.
    bool isStarted() const { return m_started.load(); }
    bool isRunning() const { return m_running.load(); }

private:
    struct TargetView {
        bool open = false;
        int64_t failovers = 0;
    };

    int _startLocked(const kx::core::String& debugDir, const kx::core::String& appDir,
                     const kx::core::String& configText);
    void _stopLocked(const char* reason);
    int _rebuildLocked();
    // Worker status: becomes the snapshot; tunnel changes become events.
    void _onWorkerStatus(const kx::core::AnyDictionary& root);
    // Replaces the worker part of the snapshot (null: nothing runs).
    void _setWorkerStatus(const kx::core::AnyDictionary* root);
    void _buildSnapshotLocked();
    void _setError(const kx::core::String& text);

    ListenerNotifier m_notifier;  // first in, last out: outlives every event source
    NotificationCenter m_center;
    KorvaneLifecycle m_lifecycle;  // observes m_center, drives this state
    kx::core::CriticalSection m_lock;
    std::unique_ptr<Application> m_application;
    std::atomic<bool> m_started;
    std::atomic<bool> m_running;
    bool m_keepInBackground;
    kx::core::String m_savedDebugDir;
    kx::core::String m_savedAppDir;
    kx::core::String m_savedConfig;

    mutable std::mutex m_snapshotMutex;
    std::string m_errorText;   // under m_snapshotMutex
    std::string m_statusText;  // under m_snapshotMutex
    kx::core::AnyDictionary m_workerStatus;   // under m_snapshotMutex
    bool m_hasWorkerStatus = false;           // under m_snapshotMutex
    std::map<int64_t, TargetView> m_targets;  // under m_snapshotMutex
};

}  // namespace tunnel
