#include "tls/src/PeerVerifier.h"

#include "tls/src/PublicKeyPin.h"
#include "tls/src/TlsErrors.h"

namespace kx {
namespace tls {

void PeerVerifier::reset(const core::Array<core::Binary>* pins) {
    m_pins = pins;
    for (Link& link : m_links) link = Link();
    m_tooDeep = false;
}

int PeerVerifier::onCertificate(void* ctx, mbedtls_x509_crt* certificate, int depth,
                                uint32_t* flags) {
    PeerVerifier* self = static_cast<PeerVerifier*>(ctx);
    if (!self || !certificate || !flags) return 0;
    if (depth < 0 || depth >= MAX_DEPTH) {
        self->m_tooDeep = true;
        return 0;
    }
    Link& link = self->m_links[depth];
    link.seen = true;
    link.flags = *flags;
    link.pinned = false;
    if (self->m_pins && !self->m_pins->isEmpty()) {
        const core::Binary digest = PublicKeyPin::digestOf(*certificate);
        for (const core::Binary& pin : *self->m_pins) {
            if (pin == digest) link.pinned = true;
        }
    }
    return 0;
}

bool PeerVerifier::accept(uint32_t flags, core::String* why) const {
    const bool pinning = m_pins && !m_pins->isEmpty();
    if (!pinning) {
        if (flags == 0 && m_links[0].seen) return true;
        if (why) {
            *why = L"certificate verification failed: " +
                   TlsErrors::verifyText(flags != 0 ? flags : MBEDTLS_X509_BADCERT_OTHER);
        }
        return false;
    }
    if (m_tooDeep) {
        if (why) *why = L"certificate verification failed: the chain is too long";
        return false;
    }
    uint32_t below = 0;  // flags of the links under the one looked at
    for (int depth = 0; depth < MAX_DEPTH && m_links[depth].seen; ++depth) {
        const Link& link = m_links[depth];
        if (link.pinned) {
            uint32_t faults = below | (link.flags & ~uint32_t(MBEDTLS_X509_BADCERT_NOT_TRUSTED));
            if (faults == 0) return true;
            if (why) *why = L"certificate verification failed: " + TlsErrors::verifyText(faults);
            return false;
        }
        below |= link.flags;
    }
    if (why) {
        *why = L"certificate matches none of the " + core::String::fromInt32(m_pins->size()) +
               (m_pins->size() == 1 ? L" pin" : L" pins") + L" (public key SHA-256)";
    }
    return false;
}

}  // namespace tls
}  // namespace kx
