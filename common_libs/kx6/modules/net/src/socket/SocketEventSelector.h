#pragma once

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "core/src/time/Timer.h"
#include "net/src/socket/ISocketEventHandler.h"

namespace kx {
namespace net {

enum { KX_FD_LIMIT = 65536 };

// Loop-thread checks: on in debug and sanitizer builds, off in release.
#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KX_LOOP_THREAD_CHECKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KX_LOOP_THREAD_CHECKS 1
#endif
#endif
#ifndef KX_LOOP_THREAD_CHECKS
#define KX_LOOP_THREAD_CHECKS 0
#endif

// Single-threaded poll() loop. Handlers are not owned; each must be removed
// before its descriptor is closed or the handler is destroyed. Removal is safe
// from inside any callback, including the handler's own.
//
// Loop thread only: the selector and everything registered with it belong to
// the thread that created it (or, before the first round, the thread that
// runs the first select()). Debug and sanitizer builds assert that; release
// builds do not check.
class SocketEventSelector {
public:
    // The pollfd array keeps its capacity unless it is at least this large
    // and more than SHRINK_FACTOR times what a round used.
    static constexpr size_t SHRINK_MIN_CAPACITY = 65;
    static constexpr size_t SHRINK_FACTOR = 4;
    // Pause after a failed poll() so a persistent failure does not spin.
    static constexpr int POLL_FAILURE_PAUSE_MS = 1;

    // Told about a failed poll() (the text names errno); unset, the text goes
    // to standard error.
    std::function<void(const char*)> onPollError;

    // tickInterval ms between the onSocketEvent(0) calls every handler gets.
    explicit SocketEventSelector(int tickInterval);
    ~SocketEventSelector();
    SocketEventSelector(const SocketEventSelector&) = delete;
    SocketEventSelector& operator=(const SocketEventSelector&) = delete;

    // False for fd -1, a null handler, a full selector or an fd already present.
    bool addEventHandler(int fd, ISocketEventHandler* handler);
    void removeEventHandler(int fd);
    bool hasEventHandler(int fd) const;
    int handlerCount() const { return static_cast<int>(m_items.size()); }

    // One round: poll and dispatch, then the tick. A negative timeout waits
    // without limit (but never past the next tick). Called again from inside a
    // callback it returns at once.
    void select(int timeoutMs);

    // Descriptors polled in the last round (the wake-up descriptor not counted).
    int polledCount() const { return m_polled; }
    // Handler ticks so far; lets the loop do its own once-a-second work in
    // the same wake-up as the handlers' tick.
    uint32_t tickCount() const { return m_tickCount; }
    // Puts the ticks on whole multiples of the interval on the clock (the
    // first one comes sooner), so that loop timers aligned to the same grid
    // share the tick's wake-up.
    void alignTicks() { m_tickTimer.alignStart(m_tickTimer.interval()); }

    // Any thread: ends the wait of the select() now running or the next one.
    void wakeUp();

    // Asks for the handler on fd to get a write event (EVENT_WRITE) soon,
    // without waiting for poll(): after the callback now running returns, or
    // at the start of the next round. Channels use it to write what they
    // queued at once, several queued frames in one system call.
    void requestFlush(int fd);
    // Delivers the requested write events now (nothing while it already runs).
    void flushPending();

private:
    struct HandlerItem {
        int fd;
        ISocketEventHandler* handler;
    };
    struct EventItem {
        ISocketEventHandler* handler;
        int events;
    };

    void _checkThread();
    void _drainWakeUp();
    void _pollAndDispatch(int wait);
    void _dispatch();
    ISocketEventHandler* _find(int fd) const;

    // Registered handlers, densely packed, plus an fd-indexed slot table
    // (position + 1, 0 = free) for O(1) lookup and removal.
    std::vector<HandlerItem> m_items;
    std::vector<int32_t> m_slots;
    std::vector<EventItem> m_pending;
    std::vector<pollfd> m_fdImpl;
    bool m_dispatching;
    core::Timer m_tickTimer;
    int m_polled;
    uint32_t m_tickCount = 0;
    int m_wakeFd = -1;                    // eventfd; -1 when none could be made
    std::atomic<bool> m_wakePending{false};  // coalesces wake-ups between rounds
    std::vector<int> m_flushRequests;  // fds, each at most once
    std::vector<int> m_flushing;       // the batch being delivered
    std::vector<uint8_t> m_flushFlag;  // by fd: already requested
    bool m_inFlush = false;
#if KX_LOOP_THREAD_CHECKS
    std::thread::id m_thread;
    bool m_started = false;  // a round ran: the thread is fixed
#endif
};

}  // namespace net
}  // namespace kx
