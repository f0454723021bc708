#include "lab_api/TlsServerSession.h"

#include <climits>
#include <cstring>

namespace lab {

using kx::core::Binary;

TlsServerSession::TlsServerSession(const mbedtls_ssl_config* config) {
    mbedtls_ssl_init(&m_ssl);
    m_usable = config && mbedtls_ssl_setup(&m_ssl, config) == 0;
    if (m_usable)
        mbedtls_ssl_set_bio(&m_ssl, this, &TlsServerSession::_bioSend, &TlsServerSession::_bioRecv,
                            nullptr);
}

TlsServerSession::~TlsServerSession() {
    mbedtls_ssl_free(&m_ssl);
}

int TlsServerSession::_bioSend(void* ctx, const unsigned char* buf, size_t len) {
    TlsServerSession* self = static_cast<TlsServerSession*>(ctx);
    if (len > static_cast<size_t>(INT_MAX / 2) - static_cast<size_t>(self->m_out.length()))
        return MBEDTLS_ERR_SSL_INTERNAL_ERROR;
    self->m_out.append(buf, static_cast<int32_t>(len));
    return static_cast<int>(len);
}

int TlsServerSession::_bioRecv(void* ctx, unsigned char* buf, size_t len) {
    TlsServerSession* self = static_cast<TlsServerSession*>(ctx);
    int32_t available = self->m_in.length() - self->m_inOffset;
    if (available <= 0) return MBEDTLS_ERR_SSL_WANT_READ;
    int32_t n = len < static_cast<size_t>(available) ? static_cast<int32_t>(len) : available;
    std::memcpy(buf, self->m_in.data() + self->m_inOffset, static_cast<size_t>(n));
    self->m_inOffset += n;
    if (self->m_inOffset == self->m_in.length()) {
        self->m_in.clear();
        self->m_inOffset = 0;
    }
    return n;
}

TlsServerSession::Result TlsServerSession::receive(const Binary& cipher, Binary* plain) {
    if (!m_usable) return FAILED;
    if (m_inOffset > 0) {
        m_in.removeFront(m_inOffset);
        m_inOffset = 0;
    }
    m_in.append(cipher);
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
    return m_handshakeDone && m_in.length() == m_inOffset && !mbedtls_ssl_check_pending(&m_ssl);
}

Binary TlsServerSession::takeOutgoing() {
    Binary out;
    out.swap(m_out);
    return out;
}

}  // namespace lab
