#include "tls/src/TlsFilter.h"

#include <utility>

#include "async/src/SocketReactor.h"
#include "core/src/debug/Assert.h"
#include "tls/src/TlsErrors.h"
#include "tls/src/TlsSettings.h"

namespace kx {
namespace tls {

TlsFilter::TlsFilter(async::StreamSocket* inner, TlsSettings* settings, Role role)
    : m_inner(inner), m_settings(settings), m_role(role) {
    mbedtls_ssl_init(&m_ssl);
    mbedtls_ssl_config_init(&m_config);
}

TlsFilter::~TlsFilter() {
    KX_ASSERT(this->idle());
    mbedtls_ssl_free(&m_ssl);
    mbedtls_ssl_config_free(&m_config);
}

async::SocketReactor* TlsFilter::reactor() const {
    return m_inner ? m_inner->reactor() : nullptr;
}

bool TlsFilter::idle() const {
    return !m_onHandshake && !m_onRecv && !m_onSend && !m_innerRecv && !m_innerSend &&
           m_timersOutstanding == 0 && !m_closing;
}

bool TlsFilter::isValid() const {
    return idle() && m_inner && m_inner->isValid();
}

bool TlsFilter::_setup() {
    _teardown();
    m_errorText.clear();
    if (!m_settings) {
        m_errorText = L"TLS: no settings";
        return false;
    }
    int endpoint = m_role == ROLE_SERVER ? MBEDTLS_SSL_IS_SERVER : MBEDTLS_SSL_IS_CLIENT;
    int rc = mbedtls_ssl_config_defaults(&m_config, endpoint, MBEDTLS_SSL_TRANSPORT_STREAM,
                                         MBEDTLS_SSL_PRESET_DEFAULT);
    if (rc != 0) {
        m_errorText = L"TLS setup failed: " + TlsErrors::text(rc);
        return false;
    }
    if (!m_settings->apply(&m_config, m_role == ROLE_SERVER, &m_errorText)) return false;
    m_verifying = m_role == ROLE_CLIENT && m_settings->verifyLevel() > 0;
    if (m_verifying) {
        if (m_hostName.isEmpty()) {
            // Without a name any certificate of the right CA would pass.
            m_errorText = L"certificate verification impossible: no host name to check";
            return false;
        }
        m_verifier.reset(&m_settings->pins());
        mbedtls_ssl_conf_verify(&m_config, &PeerVerifier::onCertificate, &m_verifier);
    }
    rc = mbedtls_ssl_setup(&m_ssl, &m_config);
    if (rc != 0) {
        m_errorText = L"TLS setup failed: " + TlsErrors::text(rc);
        return false;
    }
    m_bio.attach(&m_ssl);
    if (m_role == ROLE_CLIENT && !m_hostName.isEmpty()) {
        core::Binary name = m_hostName.toUtf8();
        rc = mbedtls_ssl_set_hostname(&m_ssl, name.c_str());
        if (rc != 0) {
            m_errorText = L"TLS setup failed: " + TlsErrors::text(rc);
            return false;
        }
    }
    m_setUp = true;
    return true;
}

bool TlsFilter::_peerAccepted() {
    if (!m_verifying) return true;
    return m_verifier.accept(mbedtls_ssl_get_verify_result(&m_ssl), &m_errorText);
}

void TlsFilter::_teardown() {
    mbedtls_ssl_free(&m_ssl);
    mbedtls_ssl_config_free(&m_config);
    mbedtls_ssl_init(&m_ssl);
    mbedtls_ssl_config_init(&m_config);
    m_setUp = false;
    m_handshakeDone = false;
    m_inputWanted = false;
    m_bio.clear();
}

// ---- operations ----

void TlsFilter::handshake(std::function<void(bool)> callback, int32_t timeoutMs) {
    if (!callback) callback = [](bool) {};
    async::SocketReactor* r = reactor();
    if (!r) return;
    if (m_onHandshake || m_handshakeDone || m_closing || !_setup()) {
        r->post([callback]() { callback(false); });
        return;
    }
    m_onHandshake = std::move(callback);
    _startTimer(OP_HANDSHAKE, timeoutMs);
    _pump();
}

void TlsFilter::recv(int32_t maxBytes, RecvCallback callback, int32_t timeoutMs) {
    if (!callback) callback = [](core::Binary&) {};
    async::SocketReactor* r = reactor();
    if (!r) return;
    if (m_onRecv || maxBytes < 1 || m_closing || !m_setUp) {
        r->post([callback]() {
            core::Binary none;
            callback(none);
        });
        return;
    }
    m_onRecv = std::move(callback);
    m_recvWanted = maxBytes;
    _startTimer(OP_RECV, timeoutMs);
    _pump();
}

void TlsFilter::send(const core::Binary& data, SendCallback callback, int32_t timeoutMs) {
    if (!callback) callback = [](bool) {};
    async::SocketReactor* r = reactor();
    if (!r) return;
    if (m_onSend || data.isEmpty() || m_closing || !m_setUp) {
        r->post([callback]() { callback(false); });
        return;
    }
    m_onSend = std::move(callback);
    m_sendData = data;
    m_sendAccepted = 0;
    _startTimer(OP_SEND, timeoutMs);
    _pump();
}

// ---- pump ----

void TlsFilter::_pump() {
    if (!m_setUp || m_closing) return;
    // Recomputed by the steps below: a wish left from an earlier pass would
    // start an inner receive that nothing waits for.
    m_inputWanted = false;
    if (m_onHandshake && !m_handshakeDone) {
        int r = mbedtls_ssl_handshake(&m_ssl);
        if (r == 0 && !_peerAccepted()) {
            // Nothing of ours was sent yet; the caller aborts the connection.
            m_bio.clear();
            _completeHandshake(false);
        } else if (r == 0) {
            m_handshakeDone = true;
            _flushOut();
            _completeHandshake(true);
        } else if (r == MBEDTLS_ERR_SSL_WANT_READ) {
            m_inputWanted = true;
        } else if (r != MBEDTLS_ERR_SSL_WANT_WRITE) {
            m_errorText = L"TLS handshake failed: " + TlsErrors::text(r);
            _completeHandshake(false);
        }
    }
    if (m_closeNotifyPending) {
        // Our send callback never pushes back, so this ends at once.
        for (int i = 0; i < 4; ++i) {
            if (mbedtls_ssl_close_notify(&m_ssl) != MBEDTLS_ERR_SSL_WANT_WRITE) break;
        }
        m_closeNotifyPending = false;
    }
    if (m_handshakeDone) {
        while (m_onSend && m_sendAccepted < m_sendData.length()) {
            int r = mbedtls_ssl_write(&m_ssl, m_sendData.data() + m_sendAccepted,
                                      static_cast<size_t>(m_sendData.length() - m_sendAccepted));
            if (r > 0) {
                m_sendAccepted += r;
            } else if (r == MBEDTLS_ERR_SSL_WANT_WRITE) {
                break;
            } else if (r == MBEDTLS_ERR_SSL_WANT_READ) {
                m_inputWanted = true;
                break;
            } else {
                _completeSend(false);
            }
        }
        if (m_onSend && m_sendAccepted >= m_sendData.length()) _completeSend(true);
        if (m_onRecv) {
            int32_t want = m_recvWanted < RECV_CAP ? m_recvWanted : RECV_CAP;
            core::Binary plain;
            plain.resize(want);
            int r = mbedtls_ssl_read(&m_ssl, plain.data(), static_cast<size_t>(want));
            if (r > 0) {
                plain.resize(r);
                _completeRecv(std::move(plain));
            } else if (r == MBEDTLS_ERR_SSL_WANT_READ) {
                m_inputWanted = true;
            } else if (r != MBEDTLS_ERR_SSL_WANT_WRITE) {
                // 0, the peer's close notify or a broken record: end of stream.
                _completeRecv(core::Binary());
            }
        }
    }
    _flushOut();
    _startInnerRecv();
}

void TlsFilter::_flushOut() {
    if (!m_bio.hasOutput() || m_innerSend || !m_inner) return;
    m_innerSend = true;
    core::Binary chunk;
    m_bio.takeOutput(&chunk);
    m_inner->send(
        chunk,
        [this](bool ok) {
            m_innerSend = false;
            if (m_closing) return;
            if (!ok) {
                _failAll();
                return;
            }
            _pump();
        },
        -1);
}

void TlsFilter::_startInnerRecv() {
    if (!m_inputWanted || m_innerRecv || m_closing || !m_inner) return;
    if (!m_onHandshake && !m_onRecv && !m_onSend) return;
    m_inputWanted = false;
    m_innerRecv = true;
    m_inner->recv(
        INNER_RECV_SIZE, [this](core::Binary& data) { _onInnerRecv(data); }, -1);
}

void TlsFilter::_onInnerRecv(core::Binary& data) {
    m_innerRecv = false;
    if (m_closing) return;
    if (data.isEmpty()) {
        _failAll();
        return;
    }
    m_bio.feed(data);
    _pump();
}

void TlsFilter::_failAll() {
    if (m_onHandshake) {
        if (m_errorText.isEmpty()) m_errorText = L"TLS handshake failed: the connection ended";
        _completeHandshake(false);
    }
    if (m_onRecv) _completeRecv(core::Binary());
    if (m_onSend) _completeSend(false);
    m_bio.clear();
}

// ---- completions ----

void TlsFilter::_completeHandshake(bool ok) {
    std::function<void(bool)> cb = std::move(m_onHandshake);
    m_onHandshake = nullptr;
    _stopTimer(OP_HANDSHAKE);
    reactor()->post([cb, ok]() { cb(ok); });
}

void TlsFilter::_completeRecv(core::Binary data) {
    RecvCallback cb = std::move(m_onRecv);
    m_onRecv = nullptr;
    m_recvWanted = 0;
    _stopTimer(OP_RECV);
    reactor()->post([cb, data]() mutable { cb(data); });
}

void TlsFilter::_completeSend(bool ok) {
    SendCallback cb = std::move(m_onSend);
    m_onSend = nullptr;
    m_sendData.clear();
    m_sendAccepted = 0;
    _stopTimer(OP_SEND);
    reactor()->post([cb, ok]() { cb(ok); });
}

void TlsFilter::_startTimer(OpKind kind, int32_t timeoutMs) {
    _stopTimer(kind);
    if (timeoutMs < 0) return;
    uint32_t seq = ++m_opSeq;
    int id = reactor()->delay(
        [this, kind, seq](bool fired) {
            --m_timersOutstanding;
            if (fired) _onTimer(kind, seq);
        },
        timeoutMs);
    if (id == 0) return;
    ++m_timersOutstanding;
    m_timers[kind].delayId = id;
    m_timers[kind].seq = seq;
}

void TlsFilter::_stopTimer(OpKind kind) {
    if (m_timers[kind].delayId != 0) reactor()->cancelDelay(m_timers[kind].delayId);
    m_timers[kind].delayId = 0;
    m_timers[kind].seq = 0;
}

void TlsFilter::_onTimer(OpKind kind, uint32_t seq) {
    if (m_timers[kind].seq != seq) return;  // that operation already finished
    m_timers[kind].delayId = 0;
    m_timers[kind].seq = 0;
    switch (kind) {
        case OP_HANDSHAKE:
            if (m_onHandshake) {
                m_errorText = L"TLS handshake timed out";
                _completeHandshake(false);
            }
            break;
        case OP_RECV:
            if (m_onRecv) _completeRecv(core::Binary());
            break;
        case OP_SEND:
            if (m_onSend) _completeSend(false);
            break;
    }
}

// ---- close ----

void TlsFilter::close(CloseCallback callback) {
    _startClose(true, std::move(callback));
}

void TlsFilter::abort(CloseCallback callback) {
    _startClose(false, std::move(callback));
}

void TlsFilter::_startClose(bool graceful, CloseCallback callback) {
    if (m_closing) {
        if (callback) {
            CloseCallback first = std::move(m_onClose);
            m_onClose = [first, callback]() {
                if (first) first();
                callback();
            };
        }
        return;
    }
    async::SocketReactor* r = reactor();
    if (!r) return;
    _failAll();
    m_closing = true;
    m_onClose = std::move(callback);
    auto finish = [this]() { _finishClose(); };
    if (graceful && m_setUp && m_handshakeDone && !m_innerSend && m_inner->isValid()) {
        m_closeNotifyPending = true;
        for (int i = 0; i < 4; ++i) {
            if (mbedtls_ssl_close_notify(&m_ssl) != MBEDTLS_ERR_SSL_WANT_WRITE) break;
        }
        m_closeNotifyPending = false;
        if (m_bio.hasOutput()) {
            core::Binary notify;
            m_bio.takeOutput(&notify);
            m_innerSend = true;
            m_inner->send(
                notify,
                [this, finish](bool ok) {
                    m_innerSend = false;
                    if (ok) {
                        m_inner->close(finish);
                    } else {
                        m_inner->abort(finish);
                    }
                },
                CLOSE_NOTIFY_TIMEOUT_MS);
            return;
        }
    }
    // A send still under way would hold an orderly close back without limit.
    if (graceful && !m_innerSend) {
        m_inner->close(finish);
    } else {
        m_inner->abort(finish);
    }
}

void TlsFilter::_finishClose() {
    _teardown();
    m_closing = false;
    CloseCallback cb = std::move(m_onClose);
    m_onClose = nullptr;
    if (cb) cb();
}

}  // namespace tls
}  // namespace kx
