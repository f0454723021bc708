#pragma once

#include <mbedtls/ssl.h>

#include <cstdint>
#include <functional>

#include "async/src/StreamSocket.h"
#include "core/src/value/Binary.h"
#include "core/src/value/String.h"
#include "tls/src/MemoryBio.h"
#include "tls/src/PeerVerifier.h"

namespace kx {
namespace tls {

class TlsSettings;

// A TLS session on top of an asynchronous byte stream, offering the same
// stream operations itself. mbedTLS talks to two ciphertext buffers; the pump
// moves them to and from the inner stream. Completions are always posted to
// the inner stream's reactor.
class TlsFilter : public async::StreamSocket {
public:
    enum Role { ROLE_CLIENT = 0, ROLE_SERVER = 1 };
    // Plaintext handed out per receive: one TLS record.
    static constexpr int32_t RECV_CAP = 16384;
    static constexpr int32_t INNER_RECV_SIZE = 65536;
    // How long a close waits for its close notify to leave.
    static constexpr int32_t CLOSE_NOTIFY_TIMEOUT_MS = 3000;

    TlsFilter(async::StreamSocket* inner, TlsSettings* settings, Role role = ROLE_CLIENT);
    ~TlsFilter() override;
    TlsFilter(const TlsFilter&) = delete;
    TlsFilter& operator=(const TlsFilter&) = delete;

    // Sent as SNI and used for the certificate name check.
    void setHostName(const core::String& host) { m_hostName = host; }
    void handshake(std::function<void(bool)> callback, int32_t timeoutMs);
    bool handshakeDone() const { return m_handshakeDone; }
    // Why the last handshake failed ("certificate ..." when the server could
    // not be verified); empty after a success.
    const core::String& errorText() const { return m_errorText; }

    void recv(int32_t maxBytes, RecvCallback callback, int32_t timeoutMs) override;
    void send(const core::Binary& data, SendCallback callback, int32_t timeoutMs) override;
    // Fails pending work; after a handshake a close notify goes out first.
    void close(CloseCallback callback) override;
    // Fails pending work and aborts the inner stream; no close notify.
    void abort(CloseCallback callback) override;
    async::SocketReactor* reactor() const override;
    bool idle() const override;
    bool isValid() const override;

private:
    enum OpKind { OP_HANDSHAKE = 0, OP_RECV = 1, OP_SEND = 2 };

    bool _setup();
    bool _peerAccepted();
    void _teardown();
    void _pump();
    void _flushOut();
    void _startInnerRecv();
    void _onInnerRecv(core::Binary& data);
    void _failAll();
    void _completeHandshake(bool ok);
    void _completeRecv(core::Binary data);
    void _completeSend(bool ok);
    void _startTimer(OpKind kind, int32_t timeoutMs);
    void _stopTimer(OpKind kind);
    void _onTimer(OpKind kind, uint32_t seq);
    void _startClose(bool graceful, CloseCallback callback);
    void _finishClose();

    struct Timed {
        int delayId = 0;
        uint32_t seq = 0;
    };

    async::StreamSocket* m_inner;
    TlsSettings* m_settings;
    Role m_role;
    core::String m_hostName;
    mbedtls_ssl_context m_ssl;
    mbedtls_ssl_config m_config;
    MemoryBio m_bio;
    PeerVerifier m_verifier;
    bool m_verifying = false;
    core::String m_errorText;

    std::function<void(bool)> m_onHandshake;
    RecvCallback m_onRecv;
    int32_t m_recvWanted = 0;
    SendCallback m_onSend;
    core::Binary m_sendData;
    int32_t m_sendAccepted = 0;
    Timed m_timers[3];
    int m_timersOutstanding = 0;
    uint32_t m_opSeq = 0;

    bool m_setUp = false;
    bool m_handshakeDone = false;
    bool m_inputWanted = false;
    bool m_innerRecv = false;
    bool m_innerSend = false;
    bool m_closing = false;
    bool m_closeNotifyPending = false;
    CloseCallback m_onClose;
};

}  // namespace tls
}  // namespace kx
