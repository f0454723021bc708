#include "tls/src/MemoryBio.h"

#include <climits>
#include <cstring>

namespace kx {
namespace tls {

void MemoryBio::attach(mbedtls_ssl_context* ssl) {
    mbedtls_ssl_set_bio(ssl, this, &MemoryBio::_send, &MemoryBio::_recv, nullptr);
}

void MemoryBio::_compact() {
    if (m_inOffset > 0) {
        m_in.removeFront(m_inOffset);
        m_inOffset = 0;
    }
}

void MemoryBio::feedCopy(const core::Binary& data) {
    _compact();
    m_in.append(data);
}

void MemoryBio::feed(core::Binary& data) {
    _compact();
    if (m_in.isEmpty()) {
        m_in.swap(data);
    } else {
        m_in.append(data);
    }
}

void MemoryBio::takeOutput(core::Binary* out) {
    out->clear();
    out->swap(m_out);
}

void MemoryBio::clear() {
    m_in.clear();
    m_inOffset = 0;
    m_out.clear();
}

int MemoryBio::_send(void* ctx, const unsigned char* buf, size_t len) {
    MemoryBio* self = static_cast<MemoryBio*>(ctx);
    if (len > static_cast<size_t>(INT_MAX) - static_cast<size_t>(self->m_out.length())) {
        return MBEDTLS_ERR_SSL_INTERNAL_ERROR;
    }
    self->m_out.append(buf, static_cast<int32_t>(len));
    return static_cast<int>(len);
}

int MemoryBio::_recv(void* ctx, unsigned char* buf, size_t len) {
    MemoryBio* self = static_cast<MemoryBio*>(ctx);
    int32_t available = self->pendingInput();
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

}  // namespace tls
}  // namespace kx
