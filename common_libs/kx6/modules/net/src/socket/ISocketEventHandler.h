#pragma once

namespace kx {
namespace net {

// What the selector calls. eventMask() is asked every round (0: do not poll
// this round); onSocketEvent() gets the ready events, or 0 for the periodic tick.
class ISocketEventHandler {
public:
    enum { EVENT_READ = 1, EVENT_WRITE = 2, EVENT_EXCEPT = 4 };

    virtual int eventMask() = 0;
    virtual void onSocketEvent(int events) = 0;
    virtual ~ISocketEventHandler() = default;
};

}  // namespace net
}  // namespace kx
