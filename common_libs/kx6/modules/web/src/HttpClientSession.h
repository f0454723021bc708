#pragma once

#include <cstdint>
#include <functional>

#include "core/src/time/Timer.h"
#include "core/src/value/Binary.h"
#include "web/src/ChunkedDecoder.h"
#include "web/src/Http.h"
#include "web/src/HttpCodec.h"

namespace kx {
namespace async {
class StreamSocket;
}

namespace web {

// The head and body codec of one client connection: writes requests to the
// stream and reads responses from it. The stream is not owned.
class HttpClientSession {
public:
    typedef std::function<void(bool)> SendCallback;
    // status -1 when no complete response arrived.
    typedef std::function<void(Http::Response&)> ResponseCallback;

    // Largest response head accepted.
    static constexpr int32_t BUFFER_SIZE = 65536;
    static constexpr int32_t READ_SIZE = 65536;

    // maxBody < 0: no maximum.
    HttpClientSession(async::StreamSocket* stream, int32_t maxBody);
    ~HttpClientSession();
    HttpClientSession(const HttpClientSession&) = delete;
    HttpClientSession& operator=(const HttpClientSession&) = delete;

    void sendRequest(const Http::Request& request, SendCallback callback, int32_t timeoutMs);
    // method decides whether a body may follow ("HEAD" never has one).
    void receiveResponse(const core::String& method, ResponseCallback callback, int32_t timeoutMs);
    bool idle() const { return !m_sending && !m_onResponse; }
    async::StreamSocket* stream() const { return m_stream; }

private:
    enum Phase { PHASE_HEAD, PHASE_BODY };

    void _postSendFail(SendCallback callback);
    void _readMore();
    void _onData(core::Binary& data);
    void _process();
    bool _processHead();
    void _processBody();
    void _finish(bool ok);
    int32_t _remaining() const;

    async::StreamSocket* m_stream;
    int32_t m_maxBody;
    bool m_sending = false;
    core::Binary m_buffer;
    int32_t m_scan = 0;

    ResponseCallback m_onResponse;
    core::String m_method;
    Http::Response m_response;
    Phase m_phase = PHASE_HEAD;
    HttpCodec::Framing m_framing = HttpCodec::FRAMING_NONE;
    int64_t m_left = 0;
    ChunkedDecoder m_chunks;
    core::Timer m_timer;
    bool m_timed = false;
};

}  // namespace web
}  // namespace kx
