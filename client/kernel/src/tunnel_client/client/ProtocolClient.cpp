#include "tunnel_client/client/ProtocolClient.h"

#include "core/src/debug/Assert.h"
#include "net/src/channel/TcpSocketConnector.h"
#include "tunnel_client/client/DicRpc.h"
#include "tunnel_client/client/ProtocolChannel.h"

namespace tunnel {

using kx::core::Binary;
using kx::core::Dictionary;
using kx::net::Socket;
using kx::net::SocketAddress;

ProtocolClient::ProtocolClient(kx::net::SocketEventSelector* selector, const SocketAddress& address)
    : m_selector(selector), m_address(address), m_constructing(true), m_earlyFailure(false) {
    KX_ASSERT(m_selector);
    m_connector.reset(new kx::net::TcpSocketConnector(m_selector));
    m_connector->connect(
        m_address, SocketAddress::any(), [this](Socket* socket) { _onConnect(socket); },
        CONNECT_TIMEOUT_MS);
    m_constructing = false;
}

ProtocolClient::~ProtocolClient() {
    m_rpc.reset();
    m_channel.reset();
    m_connector.reset();
}

void ProtocolClient::_onConnect(Socket* socket) {
    if (!socket || !socket->isValid()) {
        if (m_constructing) {
            m_earlyFailure = true;
            return;
        }
        if (onConnectFailed) onConnectFailed();
        return;
    }
    socket->setNoDelay(1);
    m_channel.reset(new ProtocolChannel(socket, m_selector));
    m_channel->setKeepCapacity(KEEP_CAPACITY, SEND_KEEP_CAPACITY);
    m_channel->setIdleTimeout(IDLE_TIMEOUT_MS);
    m_channel->onClosed = [this]() { _handleClosed(); };
    m_channel->onTimeout = [this]() { _handleTimeout(); };
    m_channel->onMessage = [this](Dictionary<Binary>& message) {
        if (onMessage) onMessage(message);
    };
    m_channel->onData = [this](Binary& data) { _handleData(data); };
    // The RPC sees messages first and passes the rest to onMessage.
    m_rpc.reset(new DicRpc(m_channel.get()));
    if (onConnected) onConnected();
}

void ProtocolClient::_deliverEarlyConnectFailure() {
    if (!m_earlyFailure) return;
    m_earlyFailure = false;
    if (onConnectFailed) onConnectFailed();
}

bool ProtocolClient::sendMessage(const Dictionary<Binary>& message) {
    return m_channel && m_channel->sendMessage(message);
}

bool ProtocolClient::sendData(const Binary& data) {
    return m_channel && m_channel->sendData(data);
}

void ProtocolClient::abort() {
    if (m_channel) m_channel->abort();
}

void ProtocolClient::_handleClosed() {
    if (onClosed) onClosed();
}

void ProtocolClient::_handleTimeout() {
    if (onTimeout) onTimeout();
}

void ProtocolClient::_handleData(Binary& data) {
    if (onData) onData(data);
}

}  // namespace tunnel
