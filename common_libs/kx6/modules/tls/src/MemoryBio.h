#pragma once

#include <cstddef>
#include <cstdint>

#include <mbedtls/ssl.h>

#include "core/src/value/Binary.h"

namespace kx {
namespace tls {

// The byte queues between a TLS engine and a transport pumped by its owner:
// what the engine writes collects as output for the transport to send, and
// what the transport received is fed in for the engine to read.
class MemoryBio {
public:
    // Makes this the engine's transport; the engine must not outlive it.
    void attach(mbedtls_ssl_context* ssl);

    // Appends received bytes (taking the buffer over when nothing is queued).
    void feed(core::Binary& data);
    void feedCopy(const core::Binary& data);
    // Bytes fed in and not yet read by the engine.
    int32_t pendingInput() const { return m_in.length() - m_inOffset; }

    bool hasOutput() const { return !m_out.isEmpty(); }
    // Moves the queued output into out (replacing its content).
    void takeOutput(core::Binary* out);

    void clear();

private:
    void _compact();
    static int _send(void* ctx, const unsigned char* buf, size_t len);
    static int _recv(void* ctx, unsigned char* buf, size_t len);

    core::Binary m_in;
    int32_t m_inOffset = 0;
    core::Binary m_out;
};

}  // namespace tls
}  // namespace kx
