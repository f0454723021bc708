#include "net/src/channel/StreamBuffer.h"

#include <cstring>

namespace kx {
namespace core {

StreamBuffer::StreamBuffer(int32_t limit, int32_t keepCapacity)
    : m_pos(0),
      m_limit(limit < 0 ? 0 : limit),
      m_keepCapacity(keepCapacity < 0 ? 0 : keepCapacity) {}

bool StreamBuffer::append(const void* data, int32_t count) {
    if (count < 0 || (count > 0 && !data)) return false;
    if (int64_t(length()) + count > m_limit) return false;
    if (count == 0) return true;
    // Reclaim the consumed front before the storage would have to grow.
    if (m_pos > 0 && int64_t(m_data.length()) + count > m_data.capacity()) {
        m_data.removeFront(m_pos);
        m_pos = 0;
    }
    m_data.append(data, count);
    return true;
}

bool StreamBuffer::peek(void* out, int32_t count) const {
    if (count < 0 || count > length() || (count > 0 && !out)) return false;
    if (count > 0) std::memcpy(out, data(), size_t(count));
    return true;
}

bool StreamBuffer::read(Binary* out, int32_t count) {
    if (!out || count < 0 || count > length()) return false;
    out->clear();
    out->append(data(), count);
    m_pos += count;
    _consumed();
    return true;
}

bool StreamBuffer::skip(int32_t count) {
    if (count < 0 || count > length()) return false;
    m_pos += count;
    _consumed();
    return true;
}

void StreamBuffer::clear() {
    m_pos = m_data.length();
    _consumed();
}

void StreamBuffer::_consumed() {
    if (m_pos < m_data.length()) return;
    m_pos = 0;
    m_data.clear();
    if (m_data.capacity() > m_keepCapacity) m_data.release();
}

}  // namespace core
}  // namespace kx
