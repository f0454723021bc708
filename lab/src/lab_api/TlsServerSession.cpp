#include "lab_api/TlsServerSession.h"

namespace lab {

using kx::core::Binary;

TlsServerSession::TlsServerSession(const mbedtls_ssl_config* config) {
    mbedtls_ssl_init(&m_ssl);
    m_usable = config && mbedtls_ssl_setup(&m_ssl, config) == 0;
    if (m_usable) m_bio.attach(&m_ssl);
}

TlsServerSession::~TlsServerSession() {
    mbedtls_ssl_free(&m_ssl);
}

TlsServerSession::Result TlsServerSession::receive(const Binary& cipher, Binary* plain) {
    if (!m_usable) return FAILED;
    m_bio.feedCopy(cipher);
    if (!m_handshakeDone) {
        int rc = mbedtls_ssl_handshake(&m_ssl);
        if (rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE) return OK;
        if (rc != 0) {
            m_usable = false;
            return FAILED;
        }
        m_handshakeDone = true;
    }
    unsigned char slice[READ_SLICE];
    for (;;) {
        int rc = mbedtls_ssl_read(&m_ssl, slice, sizeof(slice));
        if (rc > 0) {
            plain->append(slice, rc);
            continue;
        }
        if (rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE) return OK;
        if (rc == 0 || rc == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) return CLOSED;
        m_usable = false;
        return FAILED;
    }
}

bool TlsServerSession::send(const Binary& plain) {
    if (!m_usable || !m_handshakeDone) return false;
    int32_t written = 0;
    while (written < plain.length()) {
        int rc = mbedtls_ssl_write(&m_ssl, plain.data() + written,
                                   static_cast<size_t>(plain.length() - written));
        if (rc <= 0) {
            // The memory output never blocks, so anything but progress is fatal.
            m_usable = false;
            return false;
        }
        written += rc;
    }
    return true;
}

void TlsServerSession::closeNotify() {
    if (m_usable && m_handshakeDone) mbedtls_ssl_close_notify(&m_ssl);
    m_usable = false;
}

bool TlsServerSession::idle() {
    return m_handshakeDone && m_bio.pendingInput() == 0 && !mbedtls_ssl_check_pending(&m_ssl);
}

Binary TlsServerSession::takeOutgoing() {
    Binary out;
    m_bio.takeOutput(&out);
    return out;
}

}  // namespace lab
