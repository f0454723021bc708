#pragma once

#include <cstdint>

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"
#include "web/src/Http.h"

namespace kx {
namespace web {

// Pure HTTP/1.1 client codec: request heads and bodies out, response heads and
// body framing in. No I/O, so every rule is testable (and fuzzable) alone.
class HttpCodec {
public:
    enum Framing {
        FRAMING_NONE,
        FRAMING_LENGTH,
        FRAMING_CHUNKED,
        FRAMING_UNTIL_CLOSE,
        FRAMING_ERROR
    };

    static constexpr int32_t CHUNK_SLICE = 16384;

    // Checks the body against the head and adds "Content-Length" when the
    // head names no framing. False when the request must not be sent: both
    // framings, a length that differs from the body, or a body beyond
    // maxBody (negative: no maximum).
    static bool prepareBody(Http::Request* request, int32_t maxBody, bool* chunked);
    // Request line, headers (multi-line values split back at "\r\n"), blank
    // line, then the body: fixed, or chunked and ended by the last chunk.
    static core::Binary formatRequest(const Http::Request& request, bool chunked);

    // Offset just past the first "\r\n\r\n" at or after from, -1 if none.
    static int32_t findHeadEnd(const core::Binary& buffer, int32_t from);
    // Status line and headers (without the blank line). Repeated names join
    // with "\r\n". False for anything that is not an HTTP response head.
    static bool parseResponseHead(const uint8_t* data, int32_t length, Http::Response* out);
    // How the body of a response to method is delimited; *length is set for
    // FRAMING_LENGTH.
    static Framing framing(const core::String& method, const Http::Response& head, int64_t* length);
    static bool keepAlive(const Http::Response& response);
    // Plain decimal digits (surrounding blanks allowed), no sign, no overflow.
    static bool parseDecimal(const core::String& text, int64_t* out);

    HttpCodec() = delete;
};

}  // namespace web
}  // namespace kx
