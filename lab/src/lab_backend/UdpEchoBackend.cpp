#include "lab_backend/UdpEchoBackend.h"

#include "net/src/channel/UdpSocketChannel.h"
#include "net/src/socket/Socket.h"

namespace lab {

using kx::core::Binary;
using kx::core::String;
using kx::net::SocketAddress;

namespace {

// Echoes waiting to be written; beyond this datagrams are dropped, as UDP may.
const int MAX_QUEUED = 1024;
const int RECEIVE_CREDIT = 1 << 30;

}  // namespace

UdpEchoBackend::UdpEchoBackend(kx::net::SocketEventSelector* selector) : m_selector(selector) {}

UdpEchoBackend::~UdpEchoBackend() {
    m_channel.reset();
}

bool UdpEchoBackend::start(const SocketAddress& listen, String* error) {
    if (!listen.ip.isLoopback()) {
        if (error) *error = L"the lab binds loopback addresses only: " + listen.toString();
        return false;
    }
    kx::net::Socket socket(kx::net::Socket::TYPE_UDP, listen.ip.family());
    socket.setReuseAddress(1);
    if (!socket.bind(listen)) {
        if (error) *error = L"cannot bind " + listen.toString();
        return false;
    }
    m_address = socket.localAddress();
    m_channel.reset(new kx::net::UdpSocketChannel(&socket, m_selector));
    if (!m_channel->isOpen()) {
        m_channel.reset();
        if (error) *error = L"cannot bind " + listen.toString();
        return false;
    }
    m_channel->idleTimer().start(0);
    kx::net::UdpSocketChannel* channel = m_channel.get();
    m_channel->onReceive = [this, channel](Binary& data, const SocketAddress& from) {
        ++m_datagrams;
        if (channel->receiveCredit() < RECEIVE_CREDIT / 2) channel->recv(RECEIVE_CREDIT / 2);
        if (channel->pendingDatagrams() < MAX_QUEUED) channel->sendTo(std::move(data), from);
        data = Binary();
    };
    m_channel->recv(RECEIVE_CREDIT);
    return true;
}

}  // namespace lab
