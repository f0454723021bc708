#pragma once

#include <cstdint>

#include "core/src/value/Binary.h"

namespace kx {
namespace web {

// Incremental decoder of a chunked response body. Bytes may arrive split
// anywhere; payload is appended to the body, trailers are skipped.
class ChunkedDecoder {
public:
    enum Result { RESULT_MORE, RESULT_DONE, RESULT_ERROR };

    // Longest chunk-size or trailer line accepted.
    static constexpr int32_t MAX_LINE = 4096;
    static constexpr int32_t MAX_TRAILERS = 65536;

    // Consumes bytes from data (*used tells how many) and appends payload to
    // body. maxBody < 0 means no limit; a body beyond it is an error.
    Result feed(const uint8_t* data, int32_t length, int32_t* used, core::Binary* body,
                int32_t maxBody);
    void reset();

private:
    enum State { STATE_SIZE, STATE_DATA, STATE_DATA_END, STATE_TRAILER, STATE_DONE, STATE_ERROR };

    Result _endLine(core::Binary* body, int32_t maxBody);

    State m_state = STATE_SIZE;
    int64_t m_left = 0;
    core::Binary m_line;
    int32_t m_trailerBytes = 0;
};

}  // namespace web
}  // namespace kx
