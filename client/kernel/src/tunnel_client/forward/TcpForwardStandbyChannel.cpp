#include "tunnel_client/forward/TcpForwardStandbyChannel.h"

#include <random>

#include "tunnel_client/forward/TcpForward.h"
#include "tunnel_client/node/AddressMask.h"
#include "util/src/log/ConsolePrinter.h"

namespace tunnel {

using kx::core::Binary;
using kx::core::String;
using kx::net::IpAddress;
using kx::net::Socket;
using kx::net::SocketAddress;
using kx::util::ConsolePrinter;

TcpForwardStandbyChannel::TcpForwardStandbyChannel(TcpForward* forward,
                                                   const kx::core::Array<IpAddress>& standbyIps,
                                                   int standbyPort, Socket* socket,
                                                   kx::net::SocketEventSelector* selector)
    : TcpChannel(socket, selector),
      m_forward(forward),
      m_selector(selector),
      m_standbyPort(standbyPort) {
    kx::core::Array<IpAddress> remaining(standbyIps);
    std::mt19937 random(std::random_device{}());
    while (!remaining.isEmpty()) {
        std::uniform_int_distribution<int32_t> pick(0, remaining.size() - 1);
        int32_t index = pick(random);
        m_standbyIps.append(remaining[index]);
        remaining.removeAt(index);
    }
    onClosed = [this]() { _onLocalClosed(); };
    _connectNext();
}

TcpForwardStandbyChannel::~TcpForwardStandbyChannel() {
    m_connector.reset();
    m_direct.reset();
}

void TcpForwardStandbyChannel::_connectNext() {
    if (m_standbyIps.isEmpty()) {
        ConsolePrinter::print(L"DEBUG: 备用链路无效");
        abort();
        return;
    }
    int32_t last = m_standbyIps.size() - 1;
    SocketAddress address(m_standbyIps[last], static_cast<uint16_t>(m_standbyPort));
    m_standbyIps.removeAt(last);
    ConsolePrinter::print(String(L"DEBUG: 备用链路链接中: ") + AddressMask::mask(address));
    if (!m_connector) m_connector.reset(new kx::net::TcpSocketConnector(m_selector));
    // The callback may run at once (a failure to even start), so it may recurse
    // through the list; it is short and each step removes an address.
    m_connector->connect(
        address,
        [this, address](Socket* connected) {
            if (connected) {
                _onConnected(connected, address);
            } else if (isValid()) {
                _connectNext();
            }
        },
        CONNECT_TIMEOUT_MS);
}

void TcpForwardStandbyChannel::_onConnected(Socket* socket, const SocketAddress& address) {
    if (!isValid() || state() != STATE_OPEN) return;  // the application gave up meanwhile
    ConsolePrinter::print(String(L"DEBUG: 备用链路已连接: ") + AddressMask::mask(address));
    socket->setNoDelay(1);
    m_direct.reset(new kx::net::TcpSocketChannel(socket, m_selector));
    kx::net::TcpSocketChannel* direct = m_direct.get();
    direct->setKeepCapacity(TcpForward::RECEIVE_KEEP, TcpForward::SEND_KEEP);

    onReceive = [direct](Binary& data) { direct->send(data); };
    onSent = [direct](int bytes) { direct->recv(bytes); };
    direct->onReceive = [this](Binary& data) { send(data); };
    direct->onSent = [this](int bytes) { recv(bytes); };
    direct->onClosed = [this]() { closeGracefully(); };

    recv(INITIAL_READ);
    direct->recv(INITIAL_READ);
}

void TcpForwardStandbyChannel::_onLocalClosed() {
    if (!m_direct) return;
    std::unique_ptr<kx::net::TcpSocketChannel> direct = std::move(m_direct);
    direct->onReceive = nullptr;
    direct->onSent = nullptr;
    direct->onClosed = nullptr;
    onReceive = nullptr;
    onSent = nullptr;
    direct->closeGracefully();
    // What the application sent last may still be on its way to the target.
    if (m_forward) m_forward->keepLingering(std::move(direct));
}

}  // namespace tunnel
