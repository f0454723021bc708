#include "web/src/DirectHttpClient.h"

#include <utility>

#include "async/src/INameLookup.h"
#include "async/src/SocketReactor.h"
#include "async/src/TcpSocket.h"
#include "core/src/debug/Assert.h"
#include "net/src/socket/SocketAddress.h"
#include "net/src/url/URL.h"
#include "tls/src/TlsFilter.h"
#include "web/src/HttpClientExchange.h"
#include "web/src/HttpClientSession.h"
#include "web/src/HttpCodec.h"

namespace kx {
namespace web {

DirectHttpClient::DirectHttpClient(async::SocketReactor* reactor, async::INameLookup* lookup,
                                   int32_t idleKeepMs, int32_t maxBody)
    : m_reactor(reactor),
      m_lookup(lookup),
      m_idleTimer(idleKeepMs > 0 ? idleKeepMs : 0),
      m_maxBody(maxBody) {}

DirectHttpClient::~DirectHttpClient() {
    KX_ASSERT(this->idle());
    _dropLayers();
}

bool DirectHttpClient::idle() const {
    if (m_busy || m_closing || m_lookups > 0) return false;
    if (m_session && !m_session->idle()) return false;
    if (m_filter && !m_filter->idle()) return false;
    if (m_socket && !m_socket->idle()) return false;
    return true;
}

int32_t DirectHttpClient::_remaining() const {
    return m_noDeadline ? -1 : m_deadline.remaining();
}

void DirectHttpClient::_postFail(Completion completion) {
    if (!completion || !m_reactor) return;
    m_reactor->post([completion]() {
        Http::Response none;
        completion(none);
    });
}

void DirectHttpClient::request(const core::String& authority, bool secure,
                               const Http::Request& request, Completion completion,
                               int32_t timeoutMs) {
    if (m_busy || m_closing || authority.isEmpty() || !m_reactor || !m_lookup) {
        _postFail(std::move(completion));
        return;
    }
    m_busy = true;
    m_errorText.clear();
    m_completion = std::move(completion);
    m_request = request;
    m_authority = authority;
    m_secure = secure;
    ++m_attemptId;
    m_reused = false;
    m_retried = false;
    m_noDeadline = timeoutMs < 0;
    if (!m_noDeadline) m_deadline.start(timeoutMs);
    if (!Http::hasHeader(m_request.headers, L"host")) m_request.headers.set(L"Host", authority);

    // "[v6]:port" names an IPv6 host; the lookup gets the bare address.
    core::String portText;
    if (!net::URL::splitAuthority(authority, &m_host, &portText)) m_host = core::String();
    m_port = secure ? 443 : 80;
    const bool bracketed = authority.length() > 0 && authority[0] == L'[';
    const bool hasPort = authority.indexOf(bracketed ? core::String(L"]:") : core::String(L":")) >= 0;
    if (hasPort) {
        int64_t port = 0;
        if (!HttpCodec::parseDecimal(portText, &port) || port < 1 ||
            port > 65535) {
            m_port = 0;
        } else {
            m_port = static_cast<int32_t>(port);
        }
    }
    if (m_host.isEmpty() || m_port == 0) {
        _failAndClose();
        return;
    }
    _beginAttempt();
}

void DirectHttpClient::cancel() {
    if (!m_busy) return;
    Completion completion = std::move(m_completion);
    m_completion = nullptr;
    m_busy = false;
    ++m_attemptId;  // whatever is still under way belongs to no request now
    _postFail(std::move(completion));
    _closeConnThen(nullptr);
}

void DirectHttpClient::_beginAttempt() {
    if (m_session && m_socket && m_socket->isValid() && (!m_filter || m_filter->isValid()) &&
        !m_idleTimer.isExpired() && m_authority == m_lastAuthority && m_secure == m_lastSecure) {
        m_reused = true;
        _doExchange();
        return;
    }
    m_reused = false;
    uint32_t id = m_attemptId;
    _closeConnThen([this, id]() {
        if (id == m_attemptId) _resolve();
    });
}

void DirectHttpClient::_resolve() {
    if (_deadlineExpired() || !m_lookup) {
        _failAndClose();
        return;
    }
    uint32_t id = m_attemptId;
    ++m_lookups;
    m_lookup->lookup(m_host, [this, id](const core::Array<net::IpAddress>& addresses) {
        --m_lookups;
        if (id != m_attemptId) return;
        m_addresses = addresses;
        m_addressIndex = 0;
        _connectNext();
    });
}

void DirectHttpClient::_connectNext() {
    if (_deadlineExpired() || m_addressIndex >= m_addresses.size()) {
        _failAndClose();
        return;
    }
    int32_t limit = CONNECT_LIMIT_MS;
    if (!m_noDeadline) {
        int32_t left = m_deadline.remaining();
        if (left >= 0 && left < limit) limit = left;
    }
    m_socket.reset(new async::TcpSocket(m_reactor));
    ++m_connectCount;
    net::SocketAddress address(m_addresses[m_addressIndex], static_cast<uint16_t>(m_port));
    uint32_t id = m_attemptId;
    m_socket->connect(
        address,
        [this, id](bool ok) {
            if (id != m_attemptId) return;
            if (!ok || !m_socket->isValid()) {
                _retryNextAddr();
                return;
            }
            _onConnected();
        },
        limit);
}

void DirectHttpClient::_retryNextAddr() {
    ++m_addressIndex;
    uint32_t id = m_attemptId;
    _closeConnThen(
        [this, id]() {
            if (id == m_attemptId) _connectNext();
        },
        false);
}

void DirectHttpClient::_onConnected() {
    if (!m_secure) {
        m_session.reset(new HttpClientSession(m_socket.get(), m_maxBody));
        _doExchange();
        return;
    }
    if (!m_tls.isUsable()) {
        m_errorText = L"TLS: the random generator could not be seeded";
        _failAndClose();
        return;
    }
    m_filter.reset(new tls::TlsFilter(m_socket.get(), &m_tls, tls::TlsFilter::ROLE_CLIENT));
    m_filter->setHostName(m_host);
    uint32_t id = m_attemptId;
    m_filter->handshake(
        [this, id](bool ok) {
            if (id != m_attemptId) return;
            if (!ok) {
                if (m_filter) m_errorText = m_filter->errorText();
                _failAndClose();  // an abort: an unverified server gets nothing more
                return;
            }
            m_session.reset(new HttpClientSession(m_filter.get(), m_maxBody));
            _doExchange();
        },
        _remaining());
}

void DirectHttpClient::_doExchange() {
    if (!m_session) {
        _failAndClose();
        return;
    }
    m_exchange.reset(new HttpClientExchange(m_session.get()));
    uint32_t id = m_attemptId;
    m_exchange->send(
        m_request,
        [this, id](bool ok) {
            if (id != m_attemptId) return;
            if (!ok) {
                _onExchangeFail();
                return;
            }
            m_exchange->receive(
                [this, id](Http::Response& response) {
                    if (id != m_attemptId) return;
                    if (response.status == -1) {
                        _onExchangeFail();
                        return;
                    }
                    _finishOk(response);
                },
                _remaining());
        },
        _remaining());
}

void DirectHttpClient::_onExchangeFail() {
    if (m_reused && !m_retried && !_deadlineExpired()) {
        // A kept connection may have been closed by the server meanwhile:
        // one fresh attempt.
        m_reused = false;
        m_retried = true;
        uint32_t id = m_attemptId;
        _closeConnThen(
            [this, id]() {
                if (id == m_attemptId) _beginAttempt();
            },
            false);
        return;
    }
    _failAndClose();
}

void DirectHttpClient::_finishOk(Http::Response& response) {
    m_idleTimer.reset();
    m_lastAuthority = m_authority;
    m_lastSecure = m_secure;
    bool keep = m_socket && m_socket->isValid() && !m_idleTimer.isExpired() &&
                HttpCodec::keepAlive(response);
    if (keep) {
        _complete(response);
        return;
    }
    uint32_t id = m_attemptId;
    Http::Response kept = std::move(response);
    _closeConnThen([this, id, kept]() mutable {
        if (id == m_attemptId) _complete(kept);
    });
}

void DirectHttpClient::_failAndClose() {
    uint32_t id = m_attemptId;
    _closeConnThen(
        [this, id]() {
            if (id != m_attemptId) return;
            Http::Response none;
            _complete(none);
        },
        false);
}

void DirectHttpClient::_complete(Http::Response& response) {
    if (!m_busy) return;
    m_busy = false;
    Completion completion = std::move(m_completion);
    m_completion = nullptr;
    if (!completion) return;
    // Posted, so that the completion may start the next request or even
    // destroy this client without returning into it.
    Http::Response result = std::move(response);
    m_reactor->post([completion, result]() mutable { completion(result); });
}

void DirectHttpClient::_closeConnThen(std::function<void()> next, bool graceful) {
    if (next) m_closeWaiters.push_back(std::move(next));
    if (m_closing) return;
    async::StreamSocket* top = m_filter ? static_cast<async::StreamSocket*>(m_filter.get())
                                        : static_cast<async::StreamSocket*>(m_socket.get());
    auto done = [this]() {
        _dropLayers();
        m_closing = false;
        std::vector<std::function<void()>> waiters;
        waiters.swap(m_closeWaiters);
        for (auto& waiter : waiters) waiter();
    };
    if (!top) {
        done();
        return;
    }
    m_closing = true;
    // An orderly close would wait for whatever is still under way; anything
    // busy (or a failure) gets a reset instead.
    bool quiet =
        (!m_session || m_session->idle()) && top->idle() && (!m_socket || m_socket->idle());
    if (graceful && quiet) {
        top->close(done);
    } else {
        top->abort(done);
    }
}

void DirectHttpClient::_dropLayers() {
    m_exchange.reset();
    m_session.reset();
    m_filter.reset();
    m_socket.reset();
}

}  // namespace web
}  // namespace kx
