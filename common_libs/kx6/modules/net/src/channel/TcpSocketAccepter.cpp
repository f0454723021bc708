#include "net/src/channel/TcpSocketAccepter.h"

namespace kx {
namespace net {

namespace {
// One event accepts at most this many connections, so a flood of connects
// cannot keep the loop away from everybody else.
const int ACCEPT_BATCH = 256;
}  // namespace

TcpSocketAccepter::TcpSocketAccepter(SocketEventSelector* selector, const SocketAddress& local,
                                     int backlog)
    : m_selector(selector), m_registered(false), m_gone(nullptr) {
    Socket s(Socket::TYPE_TCP, local.ip.family());
    if (!selector || !s.setBlocking(false) || !s.setReuseAddress(1) || !s.bind(local) ||
        !s.listen(backlog)) {
        return;
    }
    if (!selector->addEventHandler(s.handle(), this)) return;
    m_registered = true;
    m_socket.swap(s);
}

TcpSocketAccepter::~TcpSocketAccepter() {
    if (m_gone) *m_gone = true;
    if (m_registered && m_selector) m_selector->removeEventHandler(m_socket.handle());
}

int TcpSocketAccepter::eventMask() {
    return m_socket.isValid() ? EVENT_READ : 0;
}

void TcpSocketAccepter::_accepted(Socket* socket) {
    if (onAccept) onAccept(socket);
}

void TcpSocketAccepter::onSocketEvent(int events) {
    if (!(events & EVENT_READ) || !m_socket.isValid()) return;
    bool gone = false;
    m_gone = &gone;
    for (int i = 0; i < ACCEPT_BATCH; ++i) {
        Socket accepted;
        if (!m_socket.accept(&accepted)) break;
        _accepted(&accepted);
        if (gone) return;  // `accepted` is closed by its destructor
    }
    m_gone = nullptr;
}

}  // namespace net
}  // namespace kx
