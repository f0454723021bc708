#include "net/src/socket/SocketEventSelector.h"

#include <errno.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "core/src/debug/Assert.h"
#include "core/src/value/Storage.h"

namespace kx {
namespace net {

namespace {

const short POLL_READ = POLLIN | POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR;
const short POLL_WRITE = POLLOUT | POLLWRBAND | POLLERR;
const short POLL_EXCEPT = POLLPRI;

void sleepMs(int ms) {
    timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = long(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
}

template <typename T>
void growFor(std::vector<T>& v, size_t count) {
    if (count > v.capacity()) v.reserve(size_t(core::growCapacity(int64_t(count))));
}

}  // namespace

SocketEventSelector::SocketEventSelector(int tickInterval)
    : m_dispatching(false), m_tickTimer(tickInterval), m_polled(0) {
    m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
#if KX_LOOP_THREAD_CHECKS
    m_thread = std::this_thread::get_id();
#endif
}

void SocketEventSelector::_checkThread() {
#if KX_LOOP_THREAD_CHECKS
    KX_ASSERT(m_thread == std::this_thread::get_id());
#endif
}

SocketEventSelector::~SocketEventSelector() {
    if (m_wakeFd >= 0) ::close(m_wakeFd);
}

void SocketEventSelector::wakeUp() {
    if (m_wakeFd < 0 || m_wakePending.exchange(true)) return;
    const uint64_t one = 1;
    // A full counter already means "wake up": a failed write loses nothing.
    ssize_t rc = ::write(m_wakeFd, &one, sizeof one);
    (void)rc;
}

void SocketEventSelector::_drainWakeUp() {
    m_wakePending.store(false);
    uint64_t count = 0;
    ssize_t rc = ::read(m_wakeFd, &count, sizeof count);
    (void)rc;
}

bool SocketEventSelector::addEventHandler(int fd, ISocketEventHandler* handler) {
    _checkThread();
    if (fd < 0 || !handler) return false;
    if (m_items.size() >= size_t(KX_FD_LIMIT)) return false;
    if (_find(fd)) return false;
    if (size_t(fd) >= m_slots.size())
        m_slots.resize(std::max(size_t(fd) + 1, m_slots.size() * 2), 0);
    growFor(m_items, m_items.size() + 1);
    m_items.push_back(HandlerItem{fd, handler});
    m_slots[size_t(fd)] = int32_t(m_items.size());
    return true;
}

void SocketEventSelector::removeEventHandler(int fd) {
    _checkThread();
    if (fd < 0 || size_t(fd) >= m_slots.size() || m_slots[size_t(fd)] == 0) return;
    if (size_t(fd) < m_flushFlag.size() && m_flushFlag[size_t(fd)]) {
        m_flushFlag[size_t(fd)] = 0;
        m_flushRequests.erase(std::remove(m_flushRequests.begin(), m_flushRequests.end(), fd),
                              m_flushRequests.end());
    }
    size_t pos = size_t(m_slots[size_t(fd)] - 1);
    ISocketEventHandler* handler = m_items[pos].handler;

    // Drop its pending events so a removed handler is never called again this round.
    size_t keep = m_pending.size();
    for (size_t i = m_pending.size(); i-- > 0;) {
        if (m_pending[i].handler == handler) {
            std::move(m_pending.begin() + long(i) + 1, m_pending.begin() + long(keep),
                      m_pending.begin() + long(i));
            --keep;
        }
    }
    m_pending.resize(keep);

    size_t last = m_items.size() - 1;
    if (pos != last) {
        m_items[pos] = m_items[last];
        m_slots[size_t(m_items[pos].fd)] = int32_t(pos + 1);
    }
    m_items.pop_back();
    m_slots[size_t(fd)] = 0;
}

bool SocketEventSelector::hasEventHandler(int fd) const {
    return _find(fd) != nullptr;
}

ISocketEventHandler* SocketEventSelector::_find(int fd) const {
    if (fd < 0 || size_t(fd) >= m_slots.size()) return nullptr;
    int32_t slot = m_slots[size_t(fd)];
    return slot == 0 ? nullptr : m_items[size_t(slot - 1)].handler;
}

void SocketEventSelector::requestFlush(int fd) {
    if (!_find(fd)) return;
    if (size_t(fd) >= m_flushFlag.size())
        m_flushFlag.resize(std::max(size_t(fd) + 1, m_flushFlag.size() * 2), 0);
    if (m_flushFlag[size_t(fd)]) return;
    m_flushFlag[size_t(fd)] = 1;
    m_flushRequests.push_back(fd);
}

void SocketEventSelector::flushPending() {
    if (m_inFlush) return;  // the running flush picks new requests up
    m_inFlush = true;
    // A handler's write may queue data elsewhere (a grant, an ack): loop
    // until nobody asks any more.
    while (!m_flushRequests.empty()) {
        m_flushing.swap(m_flushRequests);
        for (size_t i = 0; i < m_flushing.size(); ++i) {
            int fd = m_flushing[i];
            m_flushFlag[size_t(fd)] = 0;
            // Looked up again: an earlier call may have removed it. A
            // descriptor reused meanwhile only gets a harmless write event.
            ISocketEventHandler* handler = _find(fd);
            if (handler) handler->onSocketEvent(ISocketEventHandler::EVENT_WRITE);
        }
        m_flushing.clear();
    }
    m_inFlush = false;
}

void SocketEventSelector::select(int timeoutMs) {
    if (m_dispatching) return;
#if KX_LOOP_THREAD_CHECKS
    if (!m_started) m_thread = std::this_thread::get_id();
    m_started = true;
#endif
    _checkThread();
    flushPending();

    int wait = timeoutMs;
    if (m_tickTimer.interval() > 0) {
        int remaining = std::max(0, int(m_tickTimer.remaining()));
        if (timeoutMs < 0 || remaining < timeoutMs) wait = remaining;
    }
    _pollAndDispatch(wait);

    if (m_tickTimer.isExpired()) {
        m_tickTimer.rearm();
        ++m_tickCount;
        m_dispatching = true;
        growFor(m_pending, m_items.size());
        for (const HandlerItem& item : m_items) m_pending.push_back(EventItem{item.handler, 0});
        _dispatch();
        m_dispatching = false;
    }
}

void SocketEventSelector::_pollAndDispatch(int wait) {
    m_dispatching = true;
    m_polled = 0;

    size_t mapCount = m_items.size();
    KX_ASSERT(mapCount <= size_t(KX_FD_LIMIT));
    growFor(m_fdImpl, mapCount + 1);
    m_fdImpl.resize(mapCount + 1);

    // eventMask() is the handler's code: re-read the size in case it registered
    // or removed someone, and never write past the array sized above.
    for (size_t i = 0; i < m_items.size() && size_t(m_polled) < mapCount; ++i) {
        const HandlerItem& item = m_items[i];
        int mask = item.handler->eventMask();
        if (mask == 0) continue;
        pollfd& pfd = m_fdImpl[size_t(m_polled++)];
        pfd.fd = item.fd;
        pfd.events = 0;
        if (mask & ISocketEventHandler::EVENT_READ) pfd.events |= POLL_READ;
        if (mask & ISocketEventHandler::EVENT_WRITE) pfd.events |= POLL_WRITE;
        if (mask & ISocketEventHandler::EVENT_EXCEPT) pfd.events |= POLL_EXCEPT;
        pfd.revents = 0;
    }

    // The wake-up descriptor goes last, so that a waiting loop can be ended
    // from another thread; it is not a handler and is not counted.
    int pollCount = m_polled;
    if (m_wakeFd >= 0) {
        pollfd& pfd = m_fdImpl[size_t(pollCount++)];
        pfd.fd = m_wakeFd;
        pfd.events = POLLIN;
        pfd.revents = 0;
    }

    if (pollCount > 0) {
        int rc = ::poll(m_fdImpl.data(), nfds_t(pollCount), wait < 0 ? -1 : wait);
        if (rc < 0) {
            if (errno != EINTR) {
                char text[64];
                std::snprintf(text, sizeof(text), "[kx_net] SocketEventSelector poll failed: errno=%d\n",
                              errno);
                if (onPollError)
                    onPollError(text);
                else
                    std::fputs(text, stderr);
                sleepMs(POLL_FAILURE_PAUSE_MS);
            }
        } else if (rc > 0) {
            if (pollCount > m_polled && m_fdImpl[size_t(m_polled)].revents != 0) _drainWakeUp();
            growFor(m_pending, size_t(rc));
            for (int i = 0; i < m_polled; ++i) {
                const pollfd& pfd = m_fdImpl[size_t(i)];
                if (pfd.revents == 0) continue;
                int events = 0;
                if (pfd.revents & POLL_READ) events |= ISocketEventHandler::EVENT_READ;
                if (pfd.revents & POLL_WRITE) events |= ISocketEventHandler::EVENT_WRITE;
                if (pfd.revents & POLL_EXCEPT) events |= ISocketEventHandler::EVENT_EXCEPT;
                if (events == 0) continue;
                ISocketEventHandler* handler = _find(pfd.fd);
                if (handler) m_pending.push_back(EventItem{handler, events});
            }
        }
    }

    m_fdImpl.resize(size_t(m_polled));
    if (m_fdImpl.capacity() >= SHRINK_MIN_CAPACITY &&
        m_fdImpl.capacity() > size_t(m_polled) * SHRINK_FACTOR) {
        m_fdImpl.shrink_to_fit();
    }

    _dispatch();

    if (pollCount == 0 && wait >= 1) sleepMs(wait);
    m_dispatching = false;
}

void SocketEventSelector::_dispatch() {
    // Last first. The item is taken off before the call, so a handler that
    // removes itself or others only ever erases items not yet dispatched.
    while (!m_pending.empty()) {
        EventItem item = m_pending.back();
        m_pending.pop_back();
        item.handler->onSocketEvent(item.events);
        flushPending();
    }
}

}  // namespace net
}  // namespace kx
