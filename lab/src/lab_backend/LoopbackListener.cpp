#include "lab_backend/LoopbackListener.h"

namespace lab {

std::unique_ptr<kx::net::TcpSocketAccepter> LoopbackListener::open(
    kx::net::SocketEventSelector* selector, const kx::net::SocketAddress& listen,
    std::function<void(kx::net::Socket*)> onAccept, kx::core::String* error) {
    if (!listen.ip.isLoopback()) {
        if (error) *error = L"the lab binds loopback addresses only: " + listen.toString();
        return nullptr;
    }
    std::unique_ptr<kx::net::TcpSocketAccepter> accepter(
        new kx::net::TcpSocketAccepter(selector, listen, BACKLOG));
    if (!accepter->isValid()) {
        if (error) *error = L"cannot listen on " + listen.toString();
        return nullptr;
    }
    accepter->onAccept = std::move(onAccept);
    return accepter;
}

}  // namespace lab
