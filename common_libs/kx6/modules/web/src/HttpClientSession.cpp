#include "web/src/HttpClientSession.h"

#include <utility>

#include "async/src/SocketReactor.h"
#include "async/src/StreamSocket.h"
#include "core/src/debug/Assert.h"

namespace kx {
namespace web {

HttpClientSession::HttpClientSession(async::StreamSocket* stream, int32_t maxBody)
    : m_stream(stream), m_maxBody(maxBody) {}

HttpClientSession::~HttpClientSession() {
    KX_ASSERT(this->idle());
}

void HttpClientSession::_postSendFail(SendCallback callback) {
    if (m_stream && m_stream->reactor()) {
        m_stream->reactor()->post([callback]() { callback(false); });
    }
}

void HttpClientSession::sendRequest(const Http::Request& request, SendCallback callback,
                                    int32_t timeoutMs) {
    if (!callback) callback = [](bool) {};
    if (m_sending || m_onResponse || !m_stream) {
        _postSendFail(callback);
        return;
    }
    Http::Request prepared = request;
    bool chunked = false;
    if (!HttpCodec::prepareBody(&prepared, m_maxBody, &chunked)) {
        _postSendFail(callback);
        return;
    }
    // Whatever a previous response left behind is not part of the next one.
    m_buffer.clear();
    m_scan = 0;
    m_sending = true;
    m_stream->send(
        HttpCodec::formatRequest(prepared, chunked),
        [this, callback](bool ok) {
            m_sending = false;
            callback(ok);
        },
        timeoutMs);
}

void HttpClientSession::receiveResponse(const core::String& method, ResponseCallback callback,
                                        int32_t timeoutMs) {
    if (!callback) callback = [](Http::Response&) {};
    if (m_onResponse || !m_stream) {
        if (m_stream && m_stream->reactor()) {
            m_stream->reactor()->post([callback]() {
                Http::Response none;
                callback(none);
            });
        }
        return;
    }
    m_onResponse = std::move(callback);
    m_method = method;
    m_response = Http::Response();
    m_phase = PHASE_HEAD;
    m_framing = HttpCodec::FRAMING_NONE;
    m_left = 0;
    m_timed = timeoutMs >= 0;
    m_timer.start(m_timed ? timeoutMs : 0);
    if (m_buffer.isEmpty()) {
        _readMore();
    } else {
        _process();
    }
}

int32_t HttpClientSession::_remaining() const {
    return m_timed ? m_timer.remaining() : -1;
}

void HttpClientSession::_readMore() {
    int32_t left = _remaining();
    if (m_timed && left <= 0) {
        _finish(false);
        return;
    }
    int32_t want = READ_SIZE;
    if (m_phase == PHASE_HEAD) {
        want = BUFFER_SIZE - m_buffer.length();
        if (want <= 0) {
            _finish(false);  // head larger than the buffer
            return;
        }
    } else if (m_framing == HttpCodec::FRAMING_LENGTH && m_left < want) {
        want = static_cast<int32_t>(m_left);
    }
    m_stream->recv(
        want, [this](core::Binary& data) { _onData(data); }, left);
}

void HttpClientSession::_onData(core::Binary& data) {
    if (data.isEmpty()) {
        // End of stream (or error, or time-out): only a body that runs until
        // the peer closes is complete now.
        bool timedOut = m_timed && m_timer.isExpired();
        _finish(m_phase == PHASE_BODY && m_framing == HttpCodec::FRAMING_UNTIL_CLOSE && !timedOut);
        return;
    }
    if (m_buffer.isEmpty()) {
        m_buffer.swap(data);
    } else {
        m_buffer.append(data);
    }
    _process();
}

void HttpClientSession::_process() {
    if (m_phase == PHASE_HEAD && !_processHead()) return;
    _processBody();
}

bool HttpClientSession::_processHead() {
    for (;;) {
        int32_t end = HttpCodec::findHeadEnd(m_buffer, m_scan);
        if (end < 0) {
            m_scan = m_buffer.length() > 3 ? m_buffer.length() - 3 : 0;
            _readMore();
            return false;
        }
        if (!HttpCodec::parseResponseHead(m_buffer.data(), end - 4, &m_response)) {
            _finish(false);
            return false;
        }
        m_buffer.removeFront(end);
        m_scan = 0;
        // Interim answers (100 Continue, 102, 103) precede the real one.
        if (m_response.status >= 100 && m_response.status < 200 && m_response.status != 101) {
            m_response = Http::Response();
            continue;
        }
        break;
    }
    m_framing = HttpCodec::framing(m_method, m_response, &m_left);
    if (m_framing == HttpCodec::FRAMING_ERROR ||
        (m_framing == HttpCodec::FRAMING_LENGTH && m_maxBody >= 0 && m_left > m_maxBody)) {
        _finish(false);
        return false;
    }
    if (m_framing == HttpCodec::FRAMING_CHUNKED) m_chunks.reset();
    m_phase = PHASE_BODY;
    return true;
}

void HttpClientSession::_processBody() {
    core::Binary& body = m_response.body;
    switch (m_framing) {
        case HttpCodec::FRAMING_NONE:
            _finish(true);
            return;
        case HttpCodec::FRAMING_LENGTH: {
            int32_t take = m_buffer.length();
            if (take > m_left) take = static_cast<int32_t>(m_left);
            if (body.isEmpty() && take == m_buffer.length()) {
                body.swap(m_buffer);
            } else {
                body.append(m_buffer.data(), take);
                m_buffer.removeFront(take);
            }
            m_left -= take;
            if (m_left == 0) {
                _finish(true);
                return;
            }
            break;
        }
        case HttpCodec::FRAMING_CHUNKED: {
            int32_t used = 0;
            ChunkedDecoder::Result r =
                m_chunks.feed(m_buffer.data(), m_buffer.length(), &used, &body, m_maxBody);
            m_buffer.removeFront(used);
            if (r != ChunkedDecoder::RESULT_MORE) {
                _finish(r == ChunkedDecoder::RESULT_DONE);
                return;
            }
            break;
        }
        case HttpCodec::FRAMING_UNTIL_CLOSE:
            body.append(m_buffer);
            m_buffer.clear();
            if (m_maxBody >= 0 && body.length() > m_maxBody) {
                _finish(false);
                return;
            }
            break;
        default:
            _finish(false);
            return;
    }
    _readMore();
}

void HttpClientSession::_finish(bool ok) {
    ResponseCallback cb = std::move(m_onResponse);
    m_onResponse = nullptr;
    Http::Response response;
    if (ok) {
        response = std::move(m_response);
    }
    m_response = Http::Response();
    cb(response);
}

}  // namespace web
}  // namespace kx
