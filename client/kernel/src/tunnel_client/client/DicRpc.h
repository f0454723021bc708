#pragma once

#include <functional>

#include "core/src/value/Binary.h"
#include "core/src/value/Dictionary.h"
#include "core/src/value/String.h"
#include "tunnel_client/client/Error.h"

namespace tunnel {

class ProtocolChannel;

// Request/response over a node connection with exactly one call in flight.
// There is no call id: a "return" belongs to the pending call. Messages that
// are not such a return go on to the handler the channel had before.
// Worker thread only; the handlers run inside the channel's read event.
class DicRpc {
public:
    typedef std::function<void(const kx::core::Dictionary<kx::core::Binary>&)> ReturnHandler;
    typedef std::function<void(const Error&)> ErrorHandler;

    // Hooks into the channel's onMessage: returns for the pending call stop
    // here, everything else reaches the handler installed before (a null
    // channel is fatal).
    explicit DicRpc(ProtocolChannel* channel);
    DicRpc(const DicRpc&) = delete;
    DicRpc& operator=(const DicRpc&) = delete;

    // Sends the call; false (nothing sent, the pending call untouched) while a
    // call is pending. Never throws, so it is safe on the event-loop path. The
    // handlers are moved out before they run, so a handler may call again.
    bool tryCall(const kx::core::String& method,
                 const kx::core::Dictionary<kx::core::Binary>& params, ReturnHandler onReturn,
                 ErrorHandler onError);
    // As tryCall, but a pending call throws kx::core::Exception "Rpc busy":
    // for callers that treat a second call as a programming error.
    void call(const kx::core::String& method, const kx::core::Dictionary<kx::core::Binary>& params,
              ReturnHandler onReturn, ErrorHandler onError);
    bool isBusy() const { return m_busy; }

    // Takes the message when it is the return of the pending call (and runs
    // its handler); false when it belongs to someone else.
    bool offer(const kx::core::Dictionary<kx::core::Binary>& message);

private:
    ProtocolChannel* m_channel;
    ReturnHandler m_returnHandler;
    ErrorHandler m_errorHandler;
    bool m_busy;
};

}  // namespace tunnel
