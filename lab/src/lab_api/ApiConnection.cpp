#include "lab_api/ApiConnection.h"

#include "lab_api/ApiService.h"
#include "lab_api/TlsServerContext.h"
#include "lab_api/TlsServerSession.h"

namespace lab {

using kx::core::Binary;

ApiConnection::ApiConnection() = default;

ApiConnection::~ApiConnection() {
    // The channel's callbacks point here: it goes first.
    channel.reset();
}

void ApiConnection::start(ApiService* service, const TlsServerContext* tls, int32_t headLimit,
                          int32_t bodyLimit, int32_t timeoutMs) {
    m_service = service;
    m_parser.reset(new ApiRequestParser(headLimit, bodyLimit));
    m_inboxLimit = headLimit + bodyLimit;
    m_timeoutMs = timeoutMs;
    if (tls) m_tls.reset(new TlsServerSession(tls->config()));
    // The first request (and the handshake before it) runs on the request
    // clock, so a connection that sends nothing holds no slot for long.
    m_deadline.start(m_timeoutMs);
    m_deadlineArmed = true;
    channel->setIdleTimeout(IDLE_TIMEOUT_MS);
    channel->onReceive = [this](Binary& data) { _onReceive(data); };
    _grant();
}

void ApiConnection::refuse(bool secure) {
    static const char BUSY[] =
        "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    if (!secure) channel->send(Binary(BUSY));
    m_ending = true;
    channel->closeGracefully();
}

void ApiConnection::_grant() {
    if (closed || m_ending || !channel || channel->receiveCredit() > 0) return;
    if (m_inbox.length() >= m_inboxLimit) return;
    if (channel->pendingSendBytes() >= SEND_BACKLOG_LIMIT) return;
    channel->recv(READ_SIZE);
}

void ApiConnection::_onReceive(Binary& data) {
    if (m_ending) return;
    if (m_silent) {
        // Still reading (and dropping), so that the peer's close is seen.
        _grant();
        return;
    }
    if (!m_deadlineArmed && !m_holding) {
        m_deadline.start(m_timeoutMs);
        m_deadlineArmed = true;
    }
    Binary plain;
    if (m_tls) {
        TlsServerSession::Result result = m_tls->receive(data, &plain);
        _flushTls();
        if (result == TlsServerSession::FAILED) {
            _end(false);
            return;
        }
        if (result == TlsServerSession::CLOSED) {
            _end(true);
            return;
        }
    } else {
        plain.swap(data);
    }
    m_inbox.append(plain);
    _process();
    _settle();
}

void ApiConnection::_settle() {
    // The clock runs while any part of a request (or a TLS record) is in
    // and nothing is held back on our side.
    bool pending = !m_inbox.isEmpty() || (m_tls && !m_tls->idle());
    if (m_holding || m_silent || !pending) {
        m_deadlineArmed = false;
    } else if (!m_deadlineArmed) {
        m_deadline.start(m_timeoutMs);
        m_deadlineArmed = true;
    }
    _grant();
}

void ApiConnection::_process() {
    while (!closed && !m_ending && !m_holding && !m_silent && !m_inbox.isEmpty()) {
        ApiRequest request;
        int32_t consumed = 0;
        int32_t status = 0;
        ApiRequestParser::Result result = m_parser->parse(m_inbox, &request, &consumed, &status);
        if (result == ApiRequestParser::NEED_MORE) break;
        if (result == ApiRequestParser::FAILED) {
            m_inbox.clear();
            _send(m_service->refuse(status));
            return;
        }
        m_inbox.removeFront(consumed);
        // Whatever follows is the next request, with a clock of its own.
        if (!m_inbox.isEmpty()) m_deadline.start(m_timeoutMs);
        _deliver(m_service->handle(request));
    }
}

void ApiConnection::_deliver(const ApiAnswer& answer) {
    if (answer.silent) {
        m_silent = true;
        m_deadlineArmed = false;
        m_inbox.clear();
        return;
    }
    if (answer.delayMs > 0) {
        m_held = answer;
        m_holding = true;
        m_holdTimer.start(answer.delayMs);
        return;
    }
    _send(answer);
}

void ApiConnection::_send(const ApiAnswer& answer) {
    if (answer.cut) {
        // Mid-answer: half the bytes, then the connection goes without a
        // close notify, as a crashing server would leave it.
        _write(Binary(answer.bytes.data(), answer.bytes.length() / 2));
        _end(false);
        return;
    }
    _write(answer.bytes);
    if (answer.close) _end(true);
}

void ApiConnection::_write(const Binary& plain) {
    if (closed || !channel) return;
    if (m_tls) {
        if (m_tls->send(plain)) _flushTls();
        return;
    }
    channel->send(plain);
}

void ApiConnection::_flushTls() {
    Binary out = m_tls->takeOutgoing();
    if (!out.isEmpty() && !closed) channel->send(std::move(out));
}

void ApiConnection::_end(bool notify) {
    if (m_ending) return;
    m_ending = true;
    m_holding = false;
    m_deadlineArmed = false;
    m_inbox.clear();
    if (m_tls) {
        if (notify) m_tls->closeNotify();
        _flushTls();
    }
    if (!closed) channel->closeGracefully();
}

void ApiConnection::tick() {
    if (closed || m_ending) return;
    if (m_holding && m_holdTimer.isExpired()) {
        m_holding = false;
        ApiAnswer held;
        std::swap(held, m_held);
        _send(held);
        _process();
        _settle();
    }
    if (!m_holding && m_deadlineArmed && m_deadline.isExpired()) {
        // A client that dribbles a request (or a handshake) ties up nothing
        // for longer than the timeout.
        if (m_tls && !m_tls->handshakeDone()) {
            _end(false);
        } else {
            _send(m_service->refuse(408));
        }
        return;
    }
    _grant();
}

}  // namespace lab
