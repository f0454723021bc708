#include "tunnel_client/client/TunnelDataClient.h"

#include "tunnel_client/client/DicRpc.h"
#include "tunnel_client/protocol/ProtocolWire.h"
#include "tunnel_client/protocol/TunnelPacket.h"
#include "tunnel_client/protocol/WireValue.h"

namespace tunnel {

using kx::core::Binary;
using kx::core::Dictionary;
using kx::net::SocketAddress;
using kx::net::SocketEventSelector;

TunnelDataClient::TunnelDataClient(SocketEventSelector* selector, const SocketAddress& address,
                                   const LoginInfo& login, int64_t targetId, bool fastTick)
    : SessionClient(selector, address, login),
      m_downstream(nullptr),
      m_state(STATE_OPENING),
      m_attach(false),
      m_targetId(targetId) {
    _install(fastTick);
}

TunnelDataClient::TunnelDataClient(SocketEventSelector* selector, const SocketAddress& address,
                                   const LoginInfo& login, const TunnelInfo& tunnel, bool fastTick)
    : SessionClient(selector, address, login),
      m_downstream(nullptr),
      m_state(STATE_OPENING),
      m_attach(true),
      m_targetId(0),
      m_tunnel(tunnel) {
    _install(fastTick);
}

TunnelDataClient::~TunnelDataClient() = default;

void TunnelDataClient::_install(bool fastTick) {
    m_heartbeatTimer.start(HEARTBEAT_TIMEOUT_MS);
    m_receiveTimer.start(fastTick ? FAST_RECEIVE_TIMEOUT_MS : RECEIVE_TIMEOUT_MS);
    onLogin = [this]() { _onLogin(); };
    onLoginFailed = [this](const Error& error) { _onFailed(error); };
}

void TunnelDataClient::_onLogin() {
    Dictionary<Binary> params;
    if (m_attach) {
        params.set(wire::KEY_TUNNEL_ID, WireValue::fromText(m_tunnel.tunnelId));
        params.set(wire::KEY_NAT_ID, WireValue::fromText(m_tunnel.natId));
        if (!rpc()->tryCall(
                wire::METHOD_TUNNEL_ATTACH, params,
                [this](const Dictionary<Binary>&) { _onOpened(m_tunnel); },
                [this](const Error& error) { _onFailed(error); }))
            _onFailed(Error(-1, L"Rpc busy"));
    } else {
        params.set(wire::KEY_TARGET_ID, WireValue::fromInt64(m_targetId));
        if (!rpc()->tryCall(
                wire::METHOD_TUNNEL_CREATE, params,
                [this](const Dictionary<Binary>& result) {
                    TunnelInfo info;
                    info.natId = WireValue::text(result, wire::KEY_NAT_ID);
                    info.tunnelId = WireValue::text(result, wire::KEY_TUNNEL_ID);
                    _onOpened(info);
                },
                [this](const Error& error) { _onFailed(error); }))
            _onFailed(Error(-1, L"Rpc busy"));
    }
}

void TunnelDataClient::_onOpened(const TunnelInfo& info) {
    if (m_state != STATE_OPENING) return;
    m_heartbeatTimer.reset();
    m_receiveTimer.reset();
    m_state = STATE_OPEN;
    if (onTunnelOpened) onTunnelOpened(info);
}

void TunnelDataClient::_onFailed(const Error& error) {
    if (m_state != STATE_OPENING) return;
    m_state = STATE_ENDED;
    if (onTunnelFailed) onTunnelFailed(error);
}

void TunnelDataClient::_handleData(Binary& data) {
    m_receiveTimer.reset();
    if (m_state == STATE_OPEN && m_downstream) {
        if (TunnelPacket(data).isAck()) m_heartbeatTimer.reset();
        m_downstream->receive(data);
    }
    SessionClient::_handleData(data);
}

void TunnelDataClient::_handleTimeout() {
    m_heartbeatTimer.start(0);
    m_receiveTimer.start(0);
    SessionClient::_handleTimeout();
}

void TunnelDataClient::_handleClosed() {
    if (m_state == STATE_OPEN) {
        m_state = STATE_ENDED;
        // A disabled timer counts as expired: the idle timeout and our own
        // abort both leave them disabled.
        if (m_heartbeatTimer.isExpired() || m_receiveTimer.isExpired()) {
            if (onTunnelTimeout) onTunnelTimeout();
        }
        if (onTunnelClosed) onTunnelClosed();
    }
    // Before the login the session reports the loss as a login failure,
    // which ends the opening with onTunnelFailed.
    SessionClient::_handleClosed();
    m_state = STATE_ENDED;
}

void TunnelDataClient::send(const Binary& packet) {
    if (m_state == STATE_OPEN) sendData(packet);
}

void TunnelDataClient::tick() {
    _deliverEarlyConnectFailure();
    if (m_state != STATE_OPEN) return;
    if (m_heartbeatTimer.interval() == 0 || m_receiveTimer.interval() == 0) return;
    if (m_heartbeatTimer.isExpired() || m_receiveTimer.isExpired()) {
        abort();
        m_heartbeatTimer.start(0);
        m_receiveTimer.start(0);
    }
}

}  // namespace tunnel
