#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "core/src/thread/CriticalSection.h"
#include "core/src/thread/Semaphore.h"
#include "core/src/thread/Thread.h"
#include "core/src/time/Timer.h"
#include "core/src/value/Any.h"
#include "core/src/value/Dictionary.h"
#include "core/src/value/String.h"
#include "tunnel_wrapper/ITunnelWorker.h"

namespace kx {
namespace net {
class SocketEventSelector;
}
namespace util {
class ILogRecorder;
}
}  // namespace kx

namespace tunnel {

// The SDK's one worker thread. The constructor starts it and returns once the
// worker has brought at least one tunnel up (then waited a little for the
// rest) or given up; the destructor stops it and waits for it. Everything on
// the network lives on the worker: the selector, the TunnelWrapper and all it
// owns. Other threads see only the flags, the error text and the status text.
//
// Worker: one select round then one tick, over and over; a round sleeps until
// I/O, the selector's 1 s tick or the soonest timer the worker polls, never at
// a fixed rate. Start: up to 12 s for the first ready client, then up to 3 s
// more for the others. A stop request wakes the worker at once.
class ThreadedTunnelWrapper {
public:
    static constexpr int32_t SELECTOR_TICK_MS = 1000;
    static constexpr int32_t FIRST_PHASE_MS = 12000;
    static constexpr int32_t SECOND_PHASE_MS = 3000;
    static constexpr int32_t STATUS_INTERVAL_MS = 1000;

    // Builds what the worker drives, on the worker thread, with its selector.
    typedef std::function<std::unique_ptr<ITunnelWorker>(kx::net::SocketEventSelector*)>
        WorkerFactory;

    // Told each status object as it is published (see statusJson()), on the
    // worker (or, for the first, the creator) with no wrapper lock held.
    typedef std::function<void(const kx::core::AnyDictionary&)> StatusSink;

    // logRecorder is thread-safe and outlives the wrapper.
    ThreadedTunnelWrapper(kx::util::ILogRecorder* logRecorder,
                          const kx::core::String& builtInConfig,
                          const kx::core::String& applicationDir,
                          const kx::core::String& accessKey, const kx::core::String& natText,
                          const kx::core::String& versionText, bool fastTick,
                          StatusSink statusSink = StatusSink());
    ThreadedTunnelWrapper(kx::util::ILogRecorder* logRecorder, WorkerFactory factory,
                          StatusSink statusSink = StatusSink());
    virtual ~ThreadedTunnelWrapper();
    ThreadedTunnelWrapper(const ThreadedTunnelWrapper&) = delete;
    ThreadedTunnelWrapper& operator=(const ThreadedTunnelWrapper&) = delete;

    bool isOpened() const { return m_opened.load(); }
    kx::core::String errorText() const;
    // Clock milliseconds the start took (worker creation to its verdict).
    int32_t startDuration() const { return m_startDuration.load(); }

    // A JSON object, refreshed by the worker once a second; safe
    // from any thread (built from a copy made under the wrapper's mutex):
    //   "state"        text    "starting", "open", "failed" or "ended"
    //   "opened"       bool    the worker is in its running phase
    //   "error"        text    the start's error text, "" when none
    //   "client_count" number  tunnel clients (one per target)
    //   "ready_count"  number  clients whose tunnel is up
    //   "start_ms"     number  how long the start took, once it is over
    //   "targets"      array   one object per target, see StatusBoard::toAny
    kx::core::String statusJson() const;

private:
    void _start(kx::util::ILogRecorder* logRecorder, WorkerFactory factory);
    void _body(WorkerFactory factory, kx::util::ILogRecorder* logRecorder);
    bool _isRunning(const ITunnelWorker& worker) const;
    void _round(kx::net::SocketEventSelector& selector, ITunnelWorker& worker);
    // Sets the error text and the status, then releases the creator.
    void _finishInit(ITunnelWorker* worker, const wchar_t* state, const kx::core::String& errorText);
    void _publishStatus(ITunnelWorker* worker, const wchar_t* state);
    kx::core::String _timeoutText(ITunnelWorker& worker);

    StatusSink m_statusSink;  // set before the worker starts
    kx::core::Thread m_thread;
    kx::core::Semaphore m_initSemaphore;
    std::unique_ptr<kx::core::CriticalSection> m_mutex;
    std::atomic<bool> m_opened;
    std::atomic<bool> m_initDone;
    std::atomic<int32_t> m_startDuration;
    uint32_t m_startClock;  // creator, before the worker starts
    kx::core::String m_errorText;   // under m_mutex
    kx::core::AnyDictionary m_status;  // under m_mutex
    std::atomic<bool> m_stopRequested{false};
    kx::net::SocketEventSelector* m_selector = nullptr;  // under m_mutex; the worker's
    uint32_t m_statusTick = 0;                           // worker only
};

}  // namespace tunnel
