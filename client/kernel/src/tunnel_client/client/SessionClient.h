#pragma once

#include <functional>

#include "tunnel_client/client/Error.h"
#include "tunnel_client/client/LoginInfo.h"
#include "tunnel_client/client/ProtocolClient.h"

namespace tunnel {

// A node connection that logs in as soon as it stands: "zero_make" for a
// one-time id, then "zero_login" with the proof bound to it. Every failure
// before the login ends in exactly one onLoginFailed; after the login this
// class reports nothing more (derived classes take over).
class SessionClient : public ProtocolClient {
public:
    std::function<void()> onLogin;
    std::function<void(const Error&)> onLoginFailed;

    SessionClient(kx::net::SocketEventSelector* selector, const kx::net::SocketAddress& address,
                  const LoginInfo& login);

    bool isLoggedIn() const { return m_loggedIn; }

protected:
    // A loss before the login is the login's failure.
    void _handleClosed() override;

private:
    void _onConnected();
    void _onZeroMade(const kx::core::Dictionary<kx::core::Binary>& result);
    void _onLoggedIn();
    void _fail(const Error& error);

    bool m_loggedIn;
    bool m_failed;
    LoginInfo m_login;
};

}  // namespace tunnel
