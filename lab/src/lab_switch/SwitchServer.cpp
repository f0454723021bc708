#include "lab_switch/SwitchServer.h"

#include <cstdio>

#include "lab_backend/LoopbackListener.h"
#include "lab_switch/SwitchSession.h"
#include "lab_switch/TunnelTable.h"
#include "net/src/channel/TcpSocketAccepter.h"

namespace lab {

using kx::core::String;
using kx::net::Socket;

SwitchServer::SwitchServer(kx::net::SocketEventSelector* selector, TunnelTable* table,
                           const SwitchConfig& config)
    : m_selector(selector),
      m_table(table),
      m_config(config),
      m_address(config.listen),
      m_accepted(0),
      m_random(std::random_device()()) {}

SwitchServer::~SwitchServer() {
    m_sessions.clear();
    m_accepter.reset();
}

bool SwitchServer::start(String* error) {
    return _listen(error);
}

bool SwitchServer::_listen(String* error) {
    m_accepter.reset();
    m_refuser.close();
    if (!m_address.ip.isLoopback()) {
        if (error) *error = L"the lab binds loopback addresses only: " + m_address.toString();
        return false;
    }
    if (m_config.fault == SwitchFault::REFUSE) {
        // A bound socket that does not listen answers every SYN with a reset,
        // and keeps the port ours.
        m_refuser = Socket(Socket::TYPE_TCP, m_address.ip.family());
        m_refuser.setReuseAddress(1);
        if (!m_refuser.bind(m_address)) {
            m_refuser.close();
            if (error) *error = L"cannot bind " + m_address.toString();
            return false;
        }
        m_address = m_refuser.localAddress();
        return true;
    }
    m_accepter = LoopbackListener::open(
        m_selector, m_address, [this](Socket* socket) { _onAccept(socket); }, error);
    if (!m_accepter) return false;
    m_address = m_accepter->localAddress();
    return true;
}

void SwitchServer::_onAccept(Socket* socket) {
    ++m_accepted;
    if (static_cast<int>(m_sessions.size()) >= m_config.maxConnections) {
        // Full: a reset at once costs nothing to keep.
        ++m_turnedAway;
        socket->setLinger(true, 0);
        socket->close();
        return;
    }
    std::unique_ptr<SwitchSession> session(new SwitchSession(socket, m_selector, this));
    m_sessions.push_back(std::move(session));
}

void SwitchServer::tick() {
    for (auto& session : m_sessions) {
        session->tick();
        session->flush();
    }
    for (size_t i = 0; i < m_sessions.size();) {
        if (m_sessions[i]->isClosed()) {
            m_sessions.erase(m_sessions.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

bool SwitchServer::setFault(SwitchFault fault) {
    bool wasRefusing = m_config.fault == SwitchFault::REFUSE;
    m_config.fault = fault;
    if (m_down) return true;
    if (wasRefusing != (fault == SwitchFault::REFUSE)) return _listen(nullptr);
    return true;
}

void SwitchServer::dropSessions() {
    m_sessions.clear();
}

void SwitchServer::goDown() {
    m_down = true;
    m_sessions.clear();
    m_accepter.reset();
    m_refuser.close();
}

bool SwitchServer::goUp(String* error) {
    if (!m_down) return true;
    if (!_listen(error)) return false;
    m_down = false;
    return true;
}

int SwitchServer::sessionCount() const {
    int count = 0;
    for (const auto& session : m_sessions) {
        if (!session->isClosed()) ++count;
    }
    return count;
}

String SwitchServer::newZeroId() {
    char text[24];
    snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(m_random()));
    return String::fromUtf8(text);
}

}  // namespace lab
