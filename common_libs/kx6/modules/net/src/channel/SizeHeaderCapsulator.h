#pragma once

#include <cstdint>

#include "core/src/value/Binary.h"
#include "net/src/channel/StreamBuffer.h"

namespace kx {
namespace net {

// Size-header framing: a signed 32-bit little-endian header holding the length
// of the whole frame (header included), then the payload. Pure codec over a
// StreamBuffer, so it can be driven by tests and fuzzers without sockets.
class SizeHeaderCapsulator {
public:
    static constexpr int32_t HEADER_SIZE = 4;

    enum DecodeResult {
        DECODE_INVALID = -1,   // the header can never frame anything in this buffer
        DECODE_NEED_MORE = 0,  // nothing consumed; wait for more bytes
        DECODE_FRAME = 1,      // one frame consumed; payload may be empty
    };

    explicit SizeHeaderCapsulator(core::StreamBuffer* sb) : m_sb(sb) {}

    // A header below 4, or one announcing more than the buffer's limit can
    // hold, is invalid: the stream cannot resynchronise after it.
    DecodeResult decode(core::Binary* payload);
    // Writes header and payload; on failure the buffer is left as it was.
    bool encode(const core::Binary& payload);

    static void writeHeader(uint8_t* out, int32_t frameLength);
    static int32_t readHeader(const uint8_t* in);
    // Header + payload as one Binary (for callers that frame by hand).
    static bool appendFrame(core::Binary* out, const void* payload, int32_t length);

private:
    core::StreamBuffer* m_sb;
};

}  // namespace net
}  // namespace kx
