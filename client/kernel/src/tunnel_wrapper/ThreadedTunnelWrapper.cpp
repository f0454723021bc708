#include "tunnel_wrapper/ThreadedTunnelWrapper.h"

#include <algorithm>

#include "core/src/json/JsonBuilder.h"
#include "core/src/thread/LockGuard.h"
#include "core/src/time/Clock.h"
#include "core/src/time/Timer.h"
#include "core/src/value/Dictionary.h"
#include "net/src/socket/SocketEventSelector.h"
#include "tunnel_launcher/StatusBoard.h"
#include "tunnel_wrapper/TunnelWrapper.h"
#include "util/src/log/ILogRecorder.h"

using kx::core::Any;
using kx::core::AnyDictionary;
using kx::core::LockGuard;
using kx::core::String;

namespace tunnel {

ThreadedTunnelWrapper::ThreadedTunnelWrapper(kx::util::ILogRecorder* logRecorder,
                                             const String& builtInConfig,
                                             const String& applicationDir,
                                             const String& accessKey, const String& natText,
                                             const String& versionText, bool fastTick,
                                             StatusSink statusSink)
    : m_statusSink(std::move(statusSink)),
      m_mutex(new kx::core::CriticalSection()),
      m_opened(false),
      m_initDone(false),
      m_startDuration(0),
      m_startClock(kx::core::Clock::nowMs()) {
    // Copies: the worker outlives the caller's texts.
    _start(logRecorder, [=](kx::net::SocketEventSelector* selector) {
        return std::unique_ptr<ITunnelWorker>(new TunnelWrapper(logRecorder, selector,
                                                                builtInConfig, applicationDir,
                                                                accessKey, natText, versionText,
                                                                fastTick));
    });
}

ThreadedTunnelWrapper::ThreadedTunnelWrapper(kx::util::ILogRecorder* logRecorder,
                                             WorkerFactory factory, StatusSink statusSink)
    : m_statusSink(std::move(statusSink)),
      m_mutex(new kx::core::CriticalSection()),
      m_opened(false),
      m_initDone(false),
      m_startDuration(0),
      m_startClock(kx::core::Clock::nowMs()) {
    _start(logRecorder, std::move(factory));
}

ThreadedTunnelWrapper::~ThreadedTunnelWrapper() {
    m_stopRequested = true;
    {
        // The selector may be waiting for its next tick: end that wait now.
        LockGuard guard(*m_mutex);
        if (m_selector) m_selector->wakeUp();
    }
    m_thread.stop(-1);
}

void ThreadedTunnelWrapper::_start(kx::util::ILogRecorder* logRecorder, WorkerFactory factory) {
    _publishStatus(nullptr, L"starting");
    if (!m_thread.start([this, factory, logRecorder] { _body(factory, logRecorder); })) {
        {
            LockGuard guard(*m_mutex);
            m_errorText = L"[Wrapper] Failed to start worker thread";
        }
        if (logRecorder) logRecorder->error(L"[Wrapper] Failed to start worker thread");
        m_opened = false;
        m_initDone = true;
        _publishStatus(nullptr, L"failed");
        return;
    }
    while (!m_initDone.load()) {
        if (!m_initSemaphore.wait(-1)) {
            LockGuard guard(*m_mutex);
            m_errorText = L"[Wrapper] Init wait failed";
            m_opened = false;
            m_initDone = true;
            return;
        }
    }
}

String ThreadedTunnelWrapper::errorText() const {
    LockGuard guard(*m_mutex);
    return m_errorText;
}

String ThreadedTunnelWrapper::statusJson() const {
    AnyDictionary status;
    {
        LockGuard guard(*m_mutex);
        status = m_status;
    }
    String text;
    kx::core::JsonBuilder::buildText(status, text);
    return text;
}

bool ThreadedTunnelWrapper::_isRunning(const ITunnelWorker& worker) const {
    return !m_stopRequested.load() && worker.isRunning() && m_thread.isRunning();
}

void ThreadedTunnelWrapper::_round(kx::net::SocketEventSelector& selector, ITunnelWorker& worker) {
    // Sleep until I/O, a stop, the selector's tick or the soonest timer that
    // the last round polled (the phase timers included), whichever is first.
    selector.select(kx::core::Timer::takeSoonest());
    worker.tick();
    // The status goes out with the handlers' tick, in the same wake-up.
    if (selector.tickCount() != m_statusTick) {
        m_statusTick = selector.tickCount();
        _publishStatus(&worker, m_opened.load() ? L"open" : L"starting");
    }
}

void ThreadedTunnelWrapper::_finishInit(ITunnelWorker* worker, const wchar_t* state,
                                        const String& errorText) {
    {
        LockGuard guard(*m_mutex);
        m_errorText = errorText;
    }
    m_startDuration = static_cast<int32_t>(kx::core::Clock::nowMs() - m_startClock);
    _publishStatus(worker, state);
    m_initDone = true;
    m_initSemaphore.signal(1);
}

String ThreadedTunnelWrapper::_timeoutText(ITunnelWorker& worker) {
    const String launcherError = worker.errorText();
    if (!launcherError.isEmpty()) return launcherError;
    // Otherwise the start would fail without a word; name the first reason known.
    String text = L"[Wrapper] No tunnel opened within " + String::fromInt32(FIRST_PHASE_MS) + L" ms";
    for (const TargetStatusSnapshot& target : worker.takeStatus()) {
        if (target.lastError.isEmpty()) continue;
        text += L" (Target #" + String::fromInt64(target.targetId) + L": " + target.lastError + L")";
        break;
    }
    return text;
}

void ThreadedTunnelWrapper::_body(WorkerFactory factory, kx::util::ILogRecorder* logRecorder) {
    std::unique_ptr<kx::net::SocketEventSelector> selector(
        new kx::net::SocketEventSelector(SELECTOR_TICK_MS));
    // The tunnels' acknowledgements keep the same clock grid: one wake-up
    // serves both.
    selector->alignTicks();
    // A failing poll goes to the SDK's log, not to the host's standard error.
    if (logRecorder) {
        selector->onPollError = [logRecorder](const char* text) {
            logRecorder->error(String(L"[Wrapper] ") + String::fromUtf8(text));
        };
    }
    {
        LockGuard guard(*m_mutex);
        m_selector = selector.get();
    }
    std::unique_ptr<ITunnelWorker> worker = factory(selector.get());
    m_statusTick = selector->tickCount();

    if (!_isRunning(*worker)) {
        String error = worker->errorText();
        if (error.isEmpty()) error = L"[Wrapper] No usable target";
        _finishInit(worker.get(), L"failed", error);
    } else {
        kx::core::Timer phase(FIRST_PHASE_MS);
        while (_isRunning(*worker) && !phase.isExpired()) {
            if (worker->status().readyCount > 0) break;
            _round(*selector, *worker);
        }
        if (worker->status().readyCount < 1) {
            _finishInit(worker.get(), L"failed", _timeoutText(*worker));
        } else {
            // A remaining time of 0 would disable the timer; 1 ms expires at once.
            phase.start(std::max(1, std::min(phase.remaining(), SECOND_PHASE_MS)));
            while (_isRunning(*worker) && !phase.isExpired()) {
                const LauncherStatus status = worker->status();
                if (status.readyCount >= status.clientCount) break;
                _round(*selector, *worker);
            }
            m_opened = true;
            _finishInit(worker.get(), L"open", worker->errorText());
            while (_isRunning(*worker)) _round(*selector, *worker);
        }
    }

    const bool wasOpened = m_opened.exchange(false);
    worker.reset();
    {
        LockGuard guard(*m_mutex);
        m_selector = nullptr;
    }
    selector.reset();
    // A failed start keeps its "failed" status for the caller to read.
    if (wasOpened) _publishStatus(nullptr, L"ended");
}

void ThreadedTunnelWrapper::_publishStatus(ITunnelWorker* worker, const wchar_t* state) {
    AnyDictionary root;
    root.set(L"state", Any(state));
    root.set(L"opened", Any(m_opened.load()));
    const LauncherStatus status = worker ? worker->status() : LauncherStatus();
    root.set(L"client_count", Any(status.clientCount));
    root.set(L"ready_count", Any(status.readyCount));
    root.set(L"start_ms", Any(m_startDuration.load()));
    root.set(L"targets", worker ? Any(StatusBoard::toAny(worker->takeStatus()))
                                : Any(kx::core::AnyArray()));
    {
        // Kept as values: the text is built only when someone asks for it, so
        // a sink that builds its own JSON costs the worker one build, not two.
        LockGuard guard(*m_mutex);
        root.set(L"error", Any(m_errorText));
        m_status = root;
    }
    if (m_statusSink) m_statusSink(root);
}

}  // namespace tunnel
