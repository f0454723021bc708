#include "tunnel_client/client/DicRpc.h"

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
    m_passThrough = std::move(m_channel->onMessage);
    m_channel->onMessage = [this](Dictionary<Binary>& message) { _onMessage(message); };
}

void DicRpc::call(const String& method, const Dictionary<Binary>& params, ReturnHandler onReturn,
                  ErrorHandler onError) {
    if (m_busy) throw kx::core::Exception(L"Rpc busy");
    m_returnHandler = std::move(onReturn);
    m_errorHandler = std::move(onError);
    Dictionary<Binary> request(params);
    request.set(wire::KEY_KIND, WireValue::fromText(wire::KIND_CALL));
    request.set(wire::KEY_METHOD, WireValue::fromText(method));
    // A refused send means the channel is closing; its close is reported anyway.
    m_channel->sendMessage(request);
    m_busy = true;
}

void DicRpc::_onMessage(Dictionary<Binary>& message) {
    if (!m_busy || WireValue::text(message, wire::KEY_KIND) != wire::KIND_RETURN) {
        if (m_passThrough) m_passThrough(message);
        return;
    }
    m_busy = false;
    if (message.contains(wire::KEY_ERROR_CODE)) {
        Error error(WireValue::int32(message, wire::KEY_ERROR_CODE),
                    WireValue::text(message, wire::KEY_ERROR_MSG));
        ErrorHandler handler = std::move(m_errorHandler);
        m_errorHandler = nullptr;
        m_returnHandler = nullptr;
        if (handler) handler(error);
    } else {
        ReturnHandler handler = std::move(m_returnHandler);
        m_returnHandler = nullptr;
        m_errorHandler = nullptr;
        if (handler) handler(message);
    }
}

}  // namespace tunnel
