#pragma once

#include <mbedtls/ssl.h>

#include <cstdint>

#include "core/src/value/Binary.h"
#include "tls/src/MemoryBio.h"

namespace lab {

// The server end of one TLS connection over memory buffers: ciphertext from
// the socket goes in, plaintext comes out, and whatever the session has to
// send waits in outgoing() for the connection to write. No I/O of its own.
class TlsServerSession {
public:
    enum Result { OK, FAILED, CLOSED };
    static constexpr int32_t READ_SLICE = 16384;

    explicit TlsServerSession(const mbedtls_ssl_config* config);
    ~TlsServerSession();
    TlsServerSession(const TlsServerSession&) = delete;
    TlsServerSession& operator=(const TlsServerSession&) = delete;

    // Runs the handshake and reads whatever plaintext the received
    // ciphertext completes, appending it to *plain. CLOSED: the peer sent a
    // close notify; FAILED: the session is unusable.
    Result receive(const kx::core::Binary& cipher, kx::core::Binary* plain);
    // Enciphers plaintext into outgoing(); false before the handshake ended
    // or after a failure.
    bool send(const kx::core::Binary& plain);
    void closeNotify();

    bool handshakeDone() const { return m_handshakeDone; }
    // Handshake over and no part of a record waiting for the rest.
    bool idle();
    // Bytes to write to the socket; the caller takes them.
    kx::core::Binary takeOutgoing();

private:
    mbedtls_ssl_context m_ssl;
    bool m_usable = false;
    bool m_handshakeDone = false;
    kx::tls::MemoryBio m_bio;
};

}  // namespace lab
