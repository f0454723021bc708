#include "net/src/channel/SendQueue.h"

#include <algorithm>

#include "core/src/debug/Assert.h"

namespace kx {
namespace net {

void SendQueue::append(const void* data, int32_t length) {
    if (!data || length <= 0) return;
    const uint8_t* src = static_cast<const uint8_t*>(data);
    m_bytes += length;
    while (length > 0) {
        if (m_tailOpen) {
            core::Binary& tail = m_segments.back().owned;
            int32_t room = tail.capacity() - tail.length();
            if (room > 0) {
                int32_t n = std::min(room, length);
                tail.append(src, n);  // within capacity: no reallocation
                src += n;
                length -= n;
                continue;
            }
        }
        m_segments.emplace_back();
        // A connection that keeps a lot of storage gets full chunks; others
        // get what this send needs (twice, for the next ones) up to the keep
        // limit, so that a few echoed bytes do not hold a whole chunk while
        // idle. Allocations come in powers of two, the terminating byte included.
        int32_t chunk = m_keep >= CHUNK
                            ? CHUNK - 1
                            : std::min(std::max(MIN_CHUNK, m_keep),
                                       std::max<int32_t>(256, std::min(length, CHUNK) * 2)) - 1;
        m_segments.back().owned = _spareOrNew(std::max(chunk, std::min(length, 1 << 20)));
        m_tailOpen = true;
    }
}

void SendQueue::append(core::Binary&& data) {
    int32_t length = data.length();
    if (length <= 0) return;
    if (length < ADOPT_MIN) {
        append(data.data(), length);
        return;
    }
    m_segments.emplace_back();
    m_segments.back().owned.swap(data);
    m_bytes += length;
    m_tailOpen = false;  // taking copies could reallocate it under its own queued bytes
}

void SendQueue::append(std::shared_ptr<const core::Binary> data, int32_t offset, int32_t length) {
    if (!data || length <= 0) return;
    KX_ASSERT(offset >= 0 && int64_t(offset) + length <= data->length());
    m_segments.emplace_back();
    Segment& s = m_segments.back();
    s.shared = std::move(data);
    s.offset = offset;
    s.length = length;
    m_bytes += length;
    m_tailOpen = false;
}

int SendQueue::gather(iovec* out, int max, int64_t limit) const {
    int n = 0;
    for (const Segment& s : m_segments) {
        if (n >= max || limit <= 0) break;
        int64_t len = std::min<int64_t>(s.size() - s.pos, limit);
        if (len <= 0) continue;
        out[n].iov_base = const_cast<uint8_t*>(s.data() + s.pos);
        out[n].iov_len = size_t(len);
        limit -= len;
        ++n;
    }
    return n;
}

void SendQueue::consume(int64_t count) {
    KX_ASSERT(count >= 0 && count <= m_bytes);
    m_bytes -= count;
    while (count > 0 && !m_segments.empty()) {
        Segment& s = m_segments.front();
        int64_t left = s.size() - s.pos;
        if (count < left) {
            s.pos += int32_t(count);
            return;
        }
        count -= left;
        if (!s.shared) _recycle(s.owned);
        m_segments.pop_front();
    }
    if (m_segments.empty()) m_tailOpen = false;
}

void SendQueue::clear() {
    while (!m_segments.empty()) {
        if (!m_segments.front().shared) _recycle(m_segments.front().owned);
        m_segments.pop_front();
    }
    m_bytes = 0;
    m_tailOpen = false;
}

void SendQueue::setKeep(int32_t bytes) {
    m_keep = std::max<int32_t>(0, bytes);
    while (!m_spare.empty() && m_spareBytes > m_keep &&
           !(m_spare.size() == 1 && m_spareBytes < 2 * int64_t(m_keep))) {
        m_spareBytes -= m_spare.back().capacity();
        m_spare.pop_back();
    }
}

bool SendQueue::takeSpare(core::Binary* into, int32_t minCapacity) {
    for (size_t i = m_spare.size(); i-- > 0;) {
        if (m_spare[i].capacity() < minCapacity) continue;
        m_spareBytes -= m_spare[i].capacity();
        into->swap(m_spare[i]);
        into->clear();
        m_spare.erase(m_spare.begin() + long(i));
        return true;
    }
    return false;
}

void SendQueue::releaseSpare() {
    m_spare.clear();
    m_spare.shrink_to_fit();
    m_spareBytes = 0;
}

void SendQueue::_recycle(core::Binary& storage) {
    // One buffer may exceed the limit by up to twice: a moved-in piece of
    // exactly the keep size has a larger capacity.
    int64_t cap = storage.capacity();
    if (cap == 0) return;
    bool fits = m_spareBytes + cap <= m_keep || (m_spare.empty() && cap < 2 * int64_t(m_keep));
    if (!fits) return;
    m_spareBytes += cap;
    m_spare.emplace_back();
    m_spare.back().swap(storage);
    m_spare.back().clear();
}

core::Binary SendQueue::_spareOrNew(int32_t minCapacity) {
    core::Binary b;
    if (!takeSpare(&b, minCapacity)) b.reserve(minCapacity);
    return b;
}

}  // namespace net
}  // namespace kx
