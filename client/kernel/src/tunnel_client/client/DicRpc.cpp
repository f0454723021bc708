#include "tunnel_client/client/DicRpc.h"

#include <utility>

#include "core/src/debug/Assert.h"
#include "core/src/exception/Exception.h"
#include "tunnel_client/client/ProtocolChannel.h"
#include "tunnel_client/protocol/ProtocolWire.h"
#include "tunnel_client/protocol/WireValue.h"

namespace tunnel {

using kx::core::Binary;
using kx::core::Dictionary;
using kx::core::String;

DicRpc::DicRpc(ProtocolChannel* channel) : m_channel(channel), m_busy(false) {
    KX_ASSERT(m_channel);
    // The hook owns the handler it wraps, so nothing else has to keep it.
    auto next = std::move(m_channel->onMessage);
    m_channel->onMessage = [this, next](Dictionary<Binary>& message) {
        if (!offer(message) && next) next(message);
    };
}

bool DicRpc::tryCall(const String& method, const Dictionary<Binary>& params,
                     ReturnHandler onReturn, ErrorHandler onError) {
    if (m_busy) return false;
    m_returnHandler = std::move(onReturn);
    m_errorHandler = std::move(onError);
    Dictionary<Binary> request(params);
    request.set(wire::KEY_KIND, WireValue::fromText(wire::KIND_CALL));
    request.set(wire::KEY_METHOD, WireValue::fromText(method));
    // A refused send means the channel is closing; its close is reported anyway.
    m_channel->sendMessage(request);
    m_busy = true;
    return true;
}

void DicRpc::call(const String& method, const Dictionary<Binary>& params, ReturnHandler onReturn,
                  ErrorHandler onError) {
    if (!tryCall(method, params, std::move(onReturn), std::move(onError)))
        throw kx::core::Exception(L"Rpc busy");
}

bool DicRpc::offer(const Dictionary<Binary>& message) {
    if (!m_busy || WireValue::text(message, wire::KEY_KIND) != wire::KIND_RETURN) return false;
    m_busy = false;
    // Both handlers leave before either runs: the one that runs may start the
    // next call, which installs handlers of its own.
    ReturnHandler onReturn = std::move(m_returnHandler);
    ErrorHandler onError = std::move(m_errorHandler);
    m_returnHandler = nullptr;
    m_errorHandler = nullptr;
    if (message.contains(wire::KEY_ERROR_CODE)) {
        Error error(WireValue::int32(message, wire::KEY_ERROR_CODE),
                    WireValue::text(message, wire::KEY_ERROR_MSG));
        if (onError) onError(error);
    } else if (onReturn) {
        onReturn(message);
    }
    return true;
}

}  // namespace tunnel
