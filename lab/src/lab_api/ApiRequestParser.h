#pragma once

#include <cstdint>

#include "core/src/value/Binary.h"
#include "lab_api/ApiRequest.h"

namespace lab {

// Pure, bounded HTTP/1.x request reader: bytes in, one request or an error
// status out. Only "Content-Length" framing is accepted; the head and the body
// have hard limits so that no peer makes the server hold more than
// headLimit + bodyLimit bytes per connection.
class ApiRequestParser {
public:
    enum Result { NEED_MORE, DONE, FAILED };
    static constexpr int32_t MAX_HEADERS = 100;

    ApiRequestParser(int32_t headLimit, int32_t bodyLimit)
        : m_headLimit(headLimit), m_bodyLimit(bodyLimit) {}

    // Looks at the front of buffer. DONE: *out holds the request and
    // *consumed its length in bytes. FAILED: *status is the HTTP status to
    // answer before closing (400, 413, 431, 501, 505).
    Result parse(const kx::core::Binary& buffer, ApiRequest* out, int32_t* consumed,
                 int32_t* status) const;

private:
    Result _parseHead(const kx::core::Binary& buffer, int32_t headEnd, ApiRequest* out,
                      int64_t* bodyLength, int32_t* status) const;

    int32_t m_headLimit;
    int32_t m_bodyLimit;
};

}  // namespace lab
