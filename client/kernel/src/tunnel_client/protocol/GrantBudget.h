#pragma once

#include <algorithm>
#include <cstdint>

namespace tunnel {

// The bytes a tunnel's streams and sessions may have granted to the peer and
// not yet delivered, beyond the first window each of them opens with. Windows
// grow only by what they reserve here, so many fast streams together cannot
// hold more than this in flight and in buffers.
class GrantBudget {
public:
    static constexpr int64_t DEFAULT_BYTES = 64 * 1024 * 1024;

    explicit GrantBudget(int64_t bytes = DEFAULT_BYTES) : m_total(std::max<int64_t>(bytes, 0)) {}

    // Up to `wanted` bytes, as many as are free; returns what was reserved.
    int64_t reserve(int64_t wanted) {
        int64_t got = std::max<int64_t>(0, std::min(wanted, available()));
        m_used += got;
        return got;
    }
    void release(int64_t bytes) {
        if (bytes > 0) m_used = std::max<int64_t>(0, m_used - bytes);
    }
    int64_t available() const { return m_total - m_used; }
    int64_t used() const { return m_used; }
    int64_t total() const { return m_total; }

private:
    int64_t m_total;
    int64_t m_used = 0;
};

}  // namespace tunnel
