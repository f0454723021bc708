#include "web/src/ChunkedDecoder.h"

namespace kx {
namespace web {

void ChunkedDecoder::reset() {
    m_state = STATE_SIZE;
    m_left = 0;
    m_line.clear();
    m_trailerBytes = 0;
}

namespace {
int hexValue(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

ChunkedDecoder::Result ChunkedDecoder::feed(const uint8_t* data, int32_t length, int32_t* used,
                                            core::Binary* body, int32_t maxBody) {
    int32_t pos = 0;
    while (pos < length && m_state != STATE_DONE && m_state != STATE_ERROR) {
        if (m_state == STATE_DATA) {
            int64_t take = length - pos;
            if (take > m_left) take = m_left;
            body->append(data + pos, static_cast<int32_t>(take));
            pos += static_cast<int32_t>(take);
            m_left -= take;
            if (m_left == 0) m_state = STATE_DATA_END;
            continue;
        }
        uint8_t c = data[pos++];
        if (c != '\n') {
            if (m_line.length() >= MAX_LINE) {
                m_state = STATE_ERROR;
                break;
            }
            m_line.append(c);
            continue;
        }
        if (!m_line.isEmpty() && m_line[m_line.length() - 1] == '\r') {
            m_line.resize(m_line.length() - 1);
        }
        if (_endLine(body, maxBody) == RESULT_ERROR) m_state = STATE_ERROR;
        m_line.clear();
    }
    *used = pos;
    if (m_state == STATE_ERROR) return RESULT_ERROR;
    return m_state == STATE_DONE ? RESULT_DONE : RESULT_MORE;
}

ChunkedDecoder::Result ChunkedDecoder::_endLine(core::Binary* body, int32_t maxBody) {
    switch (m_state) {
        case STATE_SIZE: {
            int64_t size = 0;
            int digits = 0;
            int32_t i = 0;
            const int32_t n = m_line.length();
            while (i < n && (m_line[i] == ' ' || m_line[i] == '\t')) ++i;
            for (; i < n; ++i) {
                int v = hexValue(m_line[i]);
                if (v < 0) break;
                size = size * 16 + v;
                if (size > INT32_MAX) return RESULT_ERROR;
                ++digits;
            }
            while (i < n && (m_line[i] == ' ' || m_line[i] == '\t')) ++i;
            if (digits == 0 || (i < n && m_line[i] != ';')) return RESULT_ERROR;
            if (maxBody >= 0 && size > static_cast<int64_t>(maxBody) - body->length()) {
                return RESULT_ERROR;
            }
            if (size == 0) {
                m_state = STATE_TRAILER;
            } else {
                m_left = size;
                m_state = STATE_DATA;
            }
            return RESULT_MORE;
        }
        case STATE_DATA_END:
            if (!m_line.isEmpty()) return RESULT_ERROR;
            m_state = STATE_SIZE;
            return RESULT_MORE;
        case STATE_TRAILER:
            if (m_line.isEmpty()) {
                m_state = STATE_DONE;
                return RESULT_DONE;
            }
            m_trailerBytes += m_line.length();
            return m_trailerBytes > MAX_TRAILERS ? RESULT_ERROR : RESULT_MORE;
        default:
            return RESULT_ERROR;
    }
}

}  // namespace web
}  // namespace kx
