#pragma once

#include <poll.h>

#include <cstdint>
#include <vector>

#include "core/src/time/Timer.h"
#include "net/src/socket/ISocketEventHandler.h"

namespace kx {
namespace net {

enum { KX_FD_LIMIT = 65536 };

// Single-threaded poll() loop. Handlers are not owned; each must be removed
// before its descriptor is closed or the handler is destroyed. Removal is safe
// from inside any callback, including the handler's own.
class SocketEventSelector {
public:
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

    // Descriptors polled in the last round.
    int polledCount() const { return m_polled; }

private:
    struct HandlerItem {
        int fd;
        ISocketEventHandler* handler;
    };
    struct EventItem {
        ISocketEventHandler* handler;
        int events;
    };

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
};

}  // namespace net
}  // namespace kx
