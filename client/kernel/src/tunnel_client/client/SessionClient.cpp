#include "tunnel_client/client/SessionClient.h"

#include "tunnel_client/client/DicRpc.h"
#include "tunnel_client/protocol/LoginProof.h"
#include "tunnel_client/protocol/ProtocolWire.h"
#include "tunnel_client/protocol/WireValue.h"

namespace tunnel {

using kx::core::Binary;
using kx::core::Dictionary;
using kx::core::String;

SessionClient::SessionClient(kx::net::SocketEventSelector* selector,
                             const kx::net::SocketAddress& address, const LoginInfo& login)
    : ProtocolClient(selector, address), m_loggedIn(false), m_failed(false), m_login(login) {
    onConnected = [this]() { _onConnected(); };
    onConnectFailed = [this]() { _fail(Error(-1, String())); };
}

// The idle timeout is followed by a close, so this covers it too.
void SessionClient::_handleClosed() {
    if (!m_loggedIn) _fail(Error(-1, String()));
    ProtocolClient::_handleClosed();
}

void SessionClient::_onConnected() {
    if (!rpc()->tryCall(
            wire::METHOD_ZERO_MAKE, Dictionary<Binary>(),
            [this](const Dictionary<Binary>& result) { _onZeroMade(result); },
            [this](const Error& error) { _fail(error); }))
        _fail(Error(-1, L"Rpc busy"));
}

void SessionClient::_onZeroMade(const Dictionary<Binary>& result) {
    // An empty id is not checked here: the node's answer to the login decides.
    String zeroId = WireValue::text(result, wire::KEY_ZERO_ID);
    String accessId = LoginProof::accessId(m_login.accessKey);
    Dictionary<Binary> params;
    params.set(wire::KEY_ACCESS_ID, WireValue::fromText(accessId));
    params.set(wire::KEY_ZERO_KEY, WireValue::fromText(LoginProof::compute(
                                       m_login.accessKey, m_login.clientToken, wire::CLIENT_TYPE,
                                       m_login.clientVersion, zeroId)));
    params.set(wire::KEY_CLIENT_TOKEN, WireValue::fromText(m_login.clientToken));
    params.set(wire::KEY_CLIENT_TYPE, WireValue::fromText(wire::CLIENT_TYPE));
    params.set(wire::KEY_CLIENT_VERSION, WireValue::fromText(m_login.clientVersion));
    if (!rpc()->tryCall(
            wire::METHOD_ZERO_LOGIN, params, [this](const Dictionary<Binary>&) { _onLoggedIn(); },
            [this](const Error& error) { _fail(error); }))
        _fail(Error(-1, L"Rpc busy"));
}

void SessionClient::_onLoggedIn() {
    if (m_failed) return;
    m_loggedIn = true;
    if (onLogin) onLogin();
}

void SessionClient::_fail(const Error& error) {
    // A node error leaves the connection open until the owner deletes the
    // client; its later close must not be reported a second time.
    if (m_failed || m_loggedIn) return;
    m_failed = true;
    if (onLoginFailed) onLoginFailed(error);
}

}  // namespace tunnel
