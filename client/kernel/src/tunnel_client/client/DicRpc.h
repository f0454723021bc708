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
// are not such a return go on to the channel's previous message handler.
class DicRpc {
public:
    typedef std::function<void(const kx::core::Dictionary<kx::core::Binary>&)> ReturnHandler;
    typedef std::function<void(const Error&)> ErrorHandler;

    // Takes over the channel's onMessage (a null channel is fatal).
    explicit DicRpc(ProtocolChannel* channel);
    DicRpc(const DicRpc&) = delete;
    DicRpc& operator=(const DicRpc&) = delete;

    // Throws kx::core::Exception "Rpc busy" while a call is pending (the
    // pending call is untouched). The handlers are moved out before they run,
    // so a handler may issue the next call at once.
    void call(const kx::core::String& method, const kx::core::Dictionary<kx::core::Binary>& params,
              ReturnHandler onReturn, ErrorHandler onError);
    bool isBusy() const { return m_busy; }

private:
    void _onMessage(kx::core::Dictionary<kx::core::Binary>& message);

    ProtocolChannel* m_channel;
    std::function<void(kx::core::Dictionary<kx::core::Binary>&)> m_passThrough;
    ReturnHandler m_returnHandler;
    ErrorHandler m_errorHandler;
    bool m_busy;
};

}  // namespace tunnel
