#pragma once

#include <mbedtls/x509_crt.h>

#include <cstdint>

#include "core/src/value/Array.h"
#include "core/src/value/Binary.h"
#include "core/src/value/String.h"

namespace kx {
namespace tls {

// Judges the server's certificate chain once the handshake has built it.
// mbedTLS reports each certificate of the verified chain (trust anchor first,
// the server's own last) with the flags it found; this keeps them per depth
// and decides:
//   without pins: accepted only when mbedTLS found nothing wrong;
//   with pins:    accepted only when a certificate of the chain matches a pin,
//                 everything below it down to the server's own certificate
//                 verified cleanly (signatures, dates, host name), and the
//                 pinned one is faulted for nothing but an unknown issuer.
// The chain is the one mbedTLS linked by signatures, never the list the
// server sent, so a server cannot pass by appending someone else's pinned
// certificate to its own.
class PeerVerifier {
public:
    static constexpr int MAX_DEPTH = 16;

    // pins: 32-byte digests (not owned, outlives the handshake); null or empty: no pins.
    void reset(const core::Array<core::Binary>* pins);
    // The mbedTLS verification callback; ctx is a PeerVerifier.
    static int onCertificate(void* ctx, mbedtls_x509_crt* certificate, int depth, uint32_t* flags);
    // flags: mbedTLS's overall verification result. False with a reason.
    bool accept(uint32_t flags, core::String* why) const;

private:
    struct Link {
        bool seen = false;
        bool pinned = false;
        uint32_t flags = 0;
    };

    const core::Array<core::Binary>* m_pins = nullptr;
    Link m_links[MAX_DEPTH];
    bool m_tooDeep = false;
};

}  // namespace tls
}  // namespace kx
